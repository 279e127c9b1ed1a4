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

using scratch::Kind;

namespace {

// The ways the program writes or reads a file of the user's; each returns the failure's text, "" when
// it went through.
struct Channels {
    RecordingPort port;
    bus::I2cMaster i2c{port};
    model::ChannelModel model{i2c};
    serial::SerialLink link{port};

    QString save(const QByteArray& path)
    {
        try {
            model::save_channel_file(path, model);
        } catch (const model::ChannelFileError& e) {
            return e.text();
        }
        return {};
    }
    QString load(const QByteArray& path)
    {
        try {
            model::apply_channel_file(path, model);
        } catch (const model::ChannelFileError& e) {
            return e.text();
        }
        return {};
    }
    QString settings(const QByteArray& path)
    {
        model::SettingsStore store(QFile::decodeName(path));
        store.load_settings(model, link);
        return store.save_settings(model, link).value_or(QString());
    }
    QString trace(const QByteArray& path)
    {
        try {
            serial::TracingPort trace(port, path);
        } catch (const serial::PortError& e) {
            return e.text();
        }
        return {};
    }
};

TEST(FileKinds, OnlyRegularFilesAreReadOrWrittenAndALinkToOneIsWrittenThrough)
{
    const struct {
        const char* name;
        Kind kind;
        bool viaLink;
        const char* says;
    } cases[] = {
        {"fifo", Kind::Fifo, false, "it is a FIFO, not a regular file"},
        {"folder", Kind::Folder, false, "it is a folder, not a regular file"},
        {"null", Kind::Device, false, "it is a device, not a regular file"},
        {"fifo-link", Kind::Fifo, true, "it is a link to a FIFO, not to a regular file"},
        {"null-link", Kind::Device, true, "it is a link to a device, not to a regular file"},
    };
    scratch::Folder dir;
    for (const auto& c : cases) {
        if (c.kind == Kind::Device && !scratch::root())
            continue; // mknod needs root
        const QByteArray node = dir.path(QByteArray(c.name) + "-node");
        ASSERT_TRUE(scratch::Folder::make(node, c.kind)) << c.name;
        const QByteArray path = c.viaLink ? dir.path(c.name) : node;
        if (c.viaLink) {
            ASSERT_EQ(::symlink(node.constData(), path.constData()), 0);
        }
        const auto before = scratch::Folder::identity(node), link = scratch::Folder::identity(path);

        Channels channels;
        EXPECT_EQ(channels.save(path),
                  "The channel file " + QFile::decodeName(path) + " could not be saved: " + c.says + ".");
        {
            const scratch::FifoPartner writer(node, O_WRONLY); // a reader that opened it would get past
            EXPECT_TRUE(channels.load(path).endsWith(QString(": ") + c.says + ".")) << c.name;
        }
        {
            const scratch::FifoPartner reader(node, O_RDONLY);
            EXPECT_EQ(channels.trace(path), "create trace " + QFile::decodeName(path) + ": " + c.says);
        }
        {
            const scratch::FifoPartner writer(node, O_WRONLY);
            EXPECT_EQ(channels.settings(path),
                      "The settings could not be saved to " + QFile::decodeName(path) + ": " + c.says + ".");
        }
        EXPECT_EQ(scratch::Folder::identity(node), before) << c.name;
        EXPECT_EQ(scratch::Folder::identity(path), link) << c.name;
    }
    // Nothing was left behind beside them either.
    EXPECT_EQ(QDir(QFile::decodeName(dir.path()))
                  .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                  .size(),
              scratch::root() ? 7 : 4);

    const QByteArray file = dir.path("set.csv"), link = dir.path("current.csv");
    ASSERT_TRUE(scratch::Folder::write(file, "old"));
    ASSERT_EQ(::symlink("set.csv", link.constData()), 0);
    Channels channels;
    channels.model.vref_high_cur = 2.5;
    EXPECT_EQ(channels.save(link), "");
    EXPECT_EQ(scratch::Folder::identity(link).first, mode_t(S_IFLNK));
    EXPECT_TRUE(scratch::Folder::read(file).startsWith("2.5\r\n0\r\n"));
}

TEST(FileKinds, NamesThatAreNotUtf8AreWrittenAndReadByTheirBytes)
{
    scratch::Folder dir;
    const QByteArray name = dir.path("set-\xff\xfe.csv"), vcd = dir.path("bus-\xe9.vcd");
    Channels channels;
    channels.model.vref_high_cur = 4.096;
    channels.model.code[24] = 77;
    ASSERT_EQ(channels.save(name), "");
    channels.model.code[24] = 0;
    EXPECT_EQ(channels.load(name), "");
    EXPECT_EQ(channels.model.code[24], 77);
    EXPECT_EQ(channels.trace(vcd), "");
    EXPECT_TRUE(scratch::Folder::read(vcd).startsWith("$timescale"));
    // The messages show the bytes that are not UTF-8 as such.
    const QString gone = QFile::decodeName(dir.path()) + "/gone-\\xFF.csv";
    EXPECT_EQ(channels.load(dir.path("gone-\xff.csv")),
              "The channel file " + gone + " could not be opened: No such file or directory.");
}

// Each way a save can fail says why, in the system's words, and leaves the old file as it was.
TEST(FileKinds, AFailedSaveNamesItsCauseAndKeepsTheOldFile)
{
    scratch::Folder dir;
    const QByteArray file = dir.path("keep.csv");
    ASSERT_TRUE(scratch::Folder::write(file, "old"));
    Channels channels;
    {
        const scratch::SizeLimit limit(20); // the save needs more
        EXPECT_TRUE(channels.save(file).endsWith("could not be saved: File too large."));
    }
    // A folder the user may not write to; root may write anywhere, so the save runs as nobody there.
    const QByteArray readOnly = dir.path("ro");
    ASSERT_EQ(::mkdir(readOnly.constData(), 0555), 0);
    ::chmod(dir.path().constData(), 0755);
    EXPECT_EQ(scratch::inChild([&] {
                  if (scratch::root() && ::setuid(65534) != 0)
                      return QStringLiteral("<no setuid>");
                  return channels.save(readOnly + "/new.csv");
              }),
              "The channel file " + QFile::decodeName(readOnly) + "/new.csv could not be saved: its folder " +
                  QFile::decodeName(readOnly) + " is read-only (Permission denied).");
    if (scratch::root()) {
        // A truly full disk: a tiny file system of its own, mounted in a private mount namespace.
        const QByteArray small = dir.path("small");
        ASSERT_EQ(::mkdir(small.constData(), 0700), 0);
        EXPECT_TRUE(scratch::inChild([&] {
                        if (::unshare(CLONE_NEWNS) != 0 ||
                            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                            ::mount("krm-test", small.constData(), "tmpfs", 0, "size=4k") != 0)
                            return QStringLiteral("<no tmpfs>");
                        scratch::Folder::write(small + "/old.csv", "old");
                        scratch::Folder::write(small + "/filler", QByteArray(4096, 'x'));
                        const QString failure = channels.save(small + "/old.csv");
                        return scratch::Folder::read(small + "/old.csv") == "old" ? failure : "<replaced>";
                    }).endsWith("could not be saved: No space left on device."));
    }
    EXPECT_EQ(scratch::Folder::read(file), "old");
}

} // namespace
