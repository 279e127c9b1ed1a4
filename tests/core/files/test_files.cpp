// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/channel_file.h"
#include "model/channel_model.h"
#include "model/settings_store.h"
#include "serial/serial_link.h"
#include "serial/tracing_port.h"

#include "support/qstring_printer.h"
#include "support/recording_port.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

using scratch::Folder;
using scratch::Kind;

namespace {

// Every way the program reads or writes a file of the user's; each gives the failure's text, "" if none.
struct Program {
    RecordingPort port;
    // Writes go nowhere: only the files matter here.
    model::ChannelModel model;
    serial::SerialLink link{[](int) { return false; }};

    template <typename F> static QString failure(F&& f)
    {
        try {
            f();
        } catch (const model::ChannelFileError& e) {
            return e.text();
        } catch (const serial::PortError& e) {
            return e.text();
        }
        return {};
    }
    QString save(const QByteArray& path)
    {
        return failure([&] { model::save_channel_file(path, model); });
    }
    QString load(const QByteArray& path)
    {
        return failure([&] { model::apply_channel_file(path, model); });
    }
    QString trace(const QByteArray& path)
    {
        return failure([&] { serial::TracingPort(port, path); });
    }
    QString settings(const QByteArray& path)
    {
        model::SettingsStore store(QFile::decodeName(path));
        store.load_settings(model, link);
        return store.save_settings(model, link).value_or(QString());
    }
};

TEST(FileKinds, OnlyRegularFilesAreReadOrWrittenAndALinkToOneIsWrittenThrough)
{
    // name, kind, reached through a link, what the refusal says
    const std::tuple<const char*, Kind, bool, const char*> cases[] = {
        {"fifo", Kind::Fifo, false, "it is a FIFO, not a regular file"},
        {"folder", Kind::Folder, false, "it is a folder, not a regular file"},
        {"null", Kind::Device, false, "it is a device, not a regular file"},
        {"fifo-link", Kind::Fifo, true, "it is a link to a FIFO, not to a regular file"},
        {"null-link", Kind::Device, true, "it is a link to a device, not to a regular file"},
    };
    const Folder dir;
    for (const auto& [name, kind, viaLink, reason] : cases) {
        if (kind == Kind::Device && !scratch::root())
            continue; // mknod needs root
        const QByteArray node = dir.path(QByteArray(name) + "-node"), path = viaLink ? dir.path(name) : node;
        ASSERT_TRUE(Folder::make(node, kind) && (!viaLink || ::symlink(node, path) == 0)) << name;
        const auto before = Folder::identity(node), link = Folder::identity(path);
        const QString shown = QFile::decodeName(path), says = QString::fromLatin1(reason);

        Program program;
        EXPECT_EQ(program.save(path), "The channel file " + shown + " could not be saved: " + says + ".");
        {
            const scratch::FifoPartner writer(node, O_WRONLY);
            EXPECT_EQ(program.load(path),
                      "The channel file " + shown + " could not be opened: " + says + ".");
            EXPECT_EQ(program.settings(path),
                      "The settings could not be saved to " + shown + ": " + says + ".");
        }
        {
            const scratch::FifoPartner reader(node, O_RDONLY);
            EXPECT_EQ(program.trace(path), "create trace " + shown + ": " + says);
        }
        EXPECT_EQ(Folder::identity(node), before) << name;
        EXPECT_EQ(Folder::identity(path), link) << name;
    }

    const QByteArray file = dir.path("set.csv"), link = dir.path("current.csv");
    ASSERT_TRUE(Folder::write(file, "old") && ::symlink("set.csv", link) == 0);
    Program program;
    program.model.vref_high_cur = 2.5;
    EXPECT_EQ(program.save(link), "");
    EXPECT_EQ(Folder::identity(link).first, mode_t(S_IFLNK));
    EXPECT_TRUE(Folder::read(file).startsWith("2.5\r\n0\r\n"));
    // A name is bytes, not necessarily UTF-8.
    EXPECT_EQ(program.trace(dir.path("bus-\xe9.vcd")), "");
    EXPECT_TRUE(Folder::read(dir.path("bus-\xe9.vcd")).contains("\n$timescale"));
}

// Each way a save can fail says why in the system's words, and leaves the old file as it was.
TEST(Messages, AFailedSaveNamesItsCauseAndKeepsTheOldFile)
{
    const Folder dir;
    const QByteArray file = dir.path("keep.csv"), readOnly = dir.path("ro"), small = dir.path("small");
    ASSERT_TRUE(Folder::write(file, "old") && ::mkdir(readOnly, 0555) == 0 && ::mkdir(small, 0700) == 0);
    ::chmod(dir.path(), 0755);
    Program program;
    {
        const scratch::SizeLimit limit(20); // the save needs more
        EXPECT_TRUE(program.save(file).endsWith("could not be saved: File too large."));
    }
    EXPECT_EQ(Folder::read(file), "old");
    // Root may write anywhere: in the read-only folder the save runs as nobody.
    EXPECT_EQ(scratch::inChild([&] {
                  return scratch::root() && ::setuid(65534) != 0 ? "<no setuid>"
                                                                 : program.save(readOnly + "/new.csv");
              }),
              "The channel file " + QFile::decodeName(readOnly) + "/new.csv could not be saved: its folder " +
                  QFile::decodeName(readOnly) + " is read-only (Permission denied).");
    if (!scratch::root())
        return;
    // A truly full disk: a file system of 4 KiB, mounted in a mount namespace of the child's own.
    EXPECT_EQ(scratch::inChild([&] {
                  if (::unshare(CLONE_NEWNS) != 0 ||
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                      ::mount("krm-test", small, "tmpfs", 0, "size=4k") != 0)
                      return QStringLiteral("<no tmpfs>");
                  Folder::write(small + "/old.csv", "old");
                  Folder::write(small + "/filler", QByteArray(4096, 'x'));
                  return program.save(small + "/old.csv") + Folder::read(small + "/old.csv");
              }),
              "The channel file " + QFile::decodeName(small) +
                  "/old.csv could not be saved: No space left on device.old");
}

} // namespace
