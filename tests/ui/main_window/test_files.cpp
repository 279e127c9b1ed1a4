// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "support/scratch.h"
#include "ui/batch_window.h"
#include "ui/channel_file_dialog.h"

#include <QFile>
#include <QListWidget>

namespace {

class Files : public AppFixture {
protected:
    void SetUp() override
    {
        start(onCom1({{"vref_high0/10", "10"}, {"Startup/Default_Dir", "/remembered/"}}));
        w().setFileChooser([this](QWidget*, const QString& initialDir) {
            offeredDir = initialDir;
            return chosen;
        });
        // Clicks land on buttons from here on; leaving the reference box would first reload the reference.
        w().commandButton("Command8")->setFocus();
    }
    void use(const QString& file, const char* button) { use(QFile::encodeName(file), button); }
    void use(const QByteArray& file, const char* button)
    {
        chosen = file;
        click(button);
    }
    QString path(const char* name) const { return dir.filePath(name); }
    static void write(const QString& file, const QByteArray& text)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    static QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A reference and `codes` codes 10, 20, 30 ...
    static QByteArray channelFile(const QByteArray& reference, int codes,
                                  const QByteArray& separator = "\r\n")
    {
        QByteArray text = reference;
        for (int n = 1; n <= codes; ++n)
            text += separator + QByteArray::number(n * 10);
        return text + "\r\n";
    }

    QByteArray chosen;
    QString offeredDir;
};

TEST_F(Files, SaveAndLoadRoundTripInAllAcceptedForms)
{
    model().code.fill(512);
    model().code[3] = 1024;
    model().vref_high_cur = 4.096;
    use(path("set.csv"), "Command1");
    EXPECT_EQ(offeredDir, "/remembered/");
    EXPECT_EQ(read(path("set.csv")), "4.096\r\n512\r\n512\r\n1024\r\n" + QByteArray("512\r\n").repeated(21));
    // The directory is remembered for the next run; this run keeps opening where it started.
    EXPECT_EQ(stored("Startup/Default_Dir"), dir.path() + "/");
    EXPECT_EQ(bench->settings.default_dir, "/remembered/");

    model().code.fill(0);
    tap->clear();
    use(path("set.csv"), "Command2");
    EXPECT_EQ(w().referenceBox()->text(), "4.096");
    EXPECT_EQ(w().codeBox(2)->text(), "400");
    EXPECT_EQ(chip().dacRegister(2), 1023);
    EXPECT_EQ(model().vref_high[0], 4.096);
    EXPECT_EQ(tap->dacWrites().front(), std::make_pair(0, 512)); // each channel goes out as it is read

    write(path("commas.csv"), channelFile("2.5", 24, ", "));
    write(path("thirty.csv"), channelFile("2.5", 29));
    for (const char* name : {"commas.csv", "thirty.csv"}) {
        model().code.fill(0);
        use(path(name), "Command2");
        EXPECT_EQ(model().code[24], 240) << name;
        EXPECT_EQ(model().vref_high_cur, 2.5) << name;
    }
    EXPECT_TRUE(reports.isEmpty()) << reports.join("\n").toStdString();
}

TEST_F(Files, BadInputIsReportedByFileAndLineAndKeepsWhatWasApplied)
{
    auto damaged = [](const QByteArray& from, const QByteArray& to) {
        return channelFile("10", 24).replace("\r\n" + from + "\r\n", "\r\n" + to + "\r\n");
    };
    const struct {
        const char* name;
        QByteArray text;
        const char* says;
        int applied; // channels written before the fault
    } cases[] = {
        {"short.csv", channelFile("10", 10), "ends before", 10},
        {"word.csv", damaged("50", "fifty"), "line 6", 4},
        {"negative.csv", damaged("70", "-70"), "line 8", 6},
        {"big.csv", damaged("30", "70000"), "65535", 2},
        {"huge.csv", damaged("20", "1e999"), "too large", 1},
        {"ref.csv", channelFile("1e400", 24), "reference", 0},
        {"binary.csv", QByteArray(200000, '\0'), "binary.csv", 0},
        {"blank.csv", QByteArray(200000, ' '), "not a channel file", 0},
        {"missing.csv", {}, "could not be opened", 0},
    };
    for (const auto& c : cases) {
        for (int reg = 0; reg < 24; ++reg)
            chip().setDacRegister(reg, 999);
        if (!c.text.isNull())
            write(path(c.name), c.text);
        reports.clear();
        use(path(c.name), "Command2");
        ASSERT_EQ(reports.size(), 1) << c.name;
        EXPECT_TRUE(reports[0].contains(c.name) && reports[0].contains(c.says)) << reports[0].toStdString();
        for (int n = 1; n <= 24; ++n)
            ASSERT_EQ(chip().dacRegister(n - 1), n <= c.applied ? n * 10 : 999) << c.name << " channel " << n;
    }
}

TEST_F(Files, CancelTouchesNothingAndAFailedSaveKeepsTheOldFile)
{
    use(QByteArray(), "Command1");
    use(QByteArray(), "Command2");
    EXPECT_EQ(stored("Startup/Default_Dir"), "/remembered/");

    const QString file = path("keep.csv");
    write(file, "old content\r\n");
    {
        // A disk that fills up mid-write: the file size limit makes the write come up short as ENOSPC would.
        const scratch::SizeLimit limit(20);
        use(file, "Command1");
    }
    // The remembered directory could not be written either; both are said, the file last, with the cause.
    ASSERT_EQ(reports.size(), 2) << reports.join(" / ").toStdString();
    EXPECT_TRUE(reports[0].contains("KRM72340.ini"));
    EXPECT_TRUE(reports[1].contains("keep.csv") && reports[1].endsWith(": File too large."));
    EXPECT_EQ(read(file), "old content\r\n");
}

TEST_F(Files, NamesThatAreNotUtf8AreListedAndOpened)
{
    const scratch::Folder folder;
    const QByteArray name = "set-\xff.csv";
    ASSERT_TRUE(scratch::Folder::write(folder.path(name), channelFile("2.5", 24)));
    ASSERT_TRUE(scratch::Folder::write(folder.path("other.txt"), ""));

    // The file dialog lists it by its bytes; picking it gives them back.
    ui::ChannelFileDialog dialog(folder.path(), &w());
    QListWidget* entries = dialog.entryList();
    ASSERT_EQ(entries->count(), 2); // ".." and the file: *.csv only
    entries->setCurrentRow(1);
    EXPECT_EQ(dialog.nameBox()->text(), "set-\\xFF.csv");
    dialog.accept();
    EXPECT_EQ(dialog.chosen(), folder.path(name));
    use(dialog.chosen(), "Command2");
    EXPECT_EQ(chip().dacRegister(23), 240);

    // The batch list too, and a run applies it.
    auto* batch = new ui::BatchWindow(w());
    batch->setDirPath(folder.path());
    ASSERT_EQ(batch->fileList()->count(), 2);
    EXPECT_EQ(batch->fileList()->item(1)->text(), "set-\\xFF.csv");
    chip().setDacRegister(23, 0);
    batch->fileList()->item(1)->setSelected(true);
    batch->commandButton(3)->click();
    EXPECT_EQ(chip().dacRegister(23), 240);
    EXPECT_TRUE(reports.isEmpty()) << reports.join("\n").toStdString();
}

// Text from a damaged file or a strange name goes into a message whole, with its control characters shown.
TEST_F(Files, MessagesShowControlCharactersAndGoOnPastANul)
{
    const scratch::Folder folder;
    const QByteArray file = folder.path("new\nline.csv");
    ASSERT_TRUE(scratch::Folder::write(file, QByteArray("1\0x\r\n2\r\n", 8)));
    use(file, "Command2");
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports[0],
              "The channel file " + QFile::decodeName(folder.path("new\\x0Aline.csv")) +
                  " has \"1\\x00x\" on line 1 where the reference voltage should be; that is not a "
                  "number.");
}

} // namespace
