// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include <QFile>

#include <csignal>
#include <sys/resource.h>

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
    void use(const QString& file, const char* button)
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

    QString chosen;
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
    use({}, "Command1");
    use({}, "Command2");
    EXPECT_EQ(stored("Startup/Default_Dir"), "/remembered/");

    const QString file = path("keep.csv");
    write(file, "old content\r\n");
    // A disk that fills up mid-write: the file size limit makes the write come up short as ENOSPC would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 20;
    setrlimit(RLIMIT_FSIZE, &tiny);
    use(file, "Command1");
    setrlimit(RLIMIT_FSIZE, &old);
    // The remembered directory could not be written either; both are said, the file last.
    ASSERT_EQ(reports.size(), 2) << reports.join(" / ").toStdString();
    EXPECT_TRUE(reports[0].contains("KRM72340.ini"));
    EXPECT_TRUE(reports[1].contains("keep.csv"));
    EXPECT_EQ(read(file), "old content\r\n");
}

} // namespace
