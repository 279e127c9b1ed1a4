#include "app_fixture.h"

#include <QFile>
#include <QPushButton>

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
    void click(const char* name) { QTest::mouseClick(w().commandButton(name), Qt::LeftButton); }
    QString path(const char* name) const { return dir.filePath(name); }
    void write(const QString& file, const QByteArray& text)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void load(const QString& file)
    {
        chosen = file;
        click("Command2");
    }
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

TEST_F(Files, SaveWritesTwentyFiveCrLfLinesAndLoadBringsThemBack)
{
    for (int n = 1; n <= 24; ++n)
        model().code[n] = 512;
    model().code[3] = 1024;
    model().vref_high_cur = 4.096;
    chosen = path("set.csv");
    click("Command1");
    EXPECT_EQ(offeredDir, "/remembered/");
    QByteArray expected = "4.096\r\n";
    for (int n = 1; n <= 24; ++n)
        expected += n == 3 ? "1024\r\n" : "512\r\n";
    EXPECT_EQ(read(chosen), expected);
    // The directory is remembered for the next run; this run keeps opening where it started.
    EXPECT_EQ(stored("Startup/Default_Dir"), dir.path() + "/");
    EXPECT_EQ(bench->settings.default_dir, "/remembered/");

    for (int n = 1; n <= 24; ++n)
        model().code[n] = 0;
    tap->clear();
    load(chosen);
    EXPECT_TRUE(reports.isEmpty()) << reports.join("\n").toStdString();
    EXPECT_EQ(w().referenceBox()->text(), "4.096");
    EXPECT_EQ(model().code[3], 1024);
    EXPECT_EQ(w().codeBox(2)->text(), "400");
    EXPECT_EQ(chip().dacRegister(2), 1023);
    EXPECT_EQ(model().vref_high[0], 4.096);
    // Each channel goes to the chip right after it is read.
    const auto writes = tap->dacWrites();
    ASSERT_GE(writes.size(), 24u);
    EXPECT_EQ(writes.front(), std::make_pair(0, 512));
}

TEST_F(Files, CommaFormAndExtraFieldsLoadLikeTheWrittenForm)
{
    write(path("commas.csv"), channelFile("2.5", 24, ", "));
    load(path("commas.csv"));
    EXPECT_EQ(model().code[24], 240);
    EXPECT_EQ(model().vref_high_cur, 2.5);

    write(path("thirty.csv"), channelFile("10", 29));
    load(path("thirty.csv"));
    EXPECT_EQ(model().code[24], 240);
    EXPECT_EQ(w().referenceBox()->text(), "10");
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(Files, BadInputIsReportedByFileAndLineAndKeepsWhatWasApplied)
{
    struct Case {
        const char* name;
        QByteArray text;
        const char* says;
        int applied; // channels written before the fault
    };
    QByteArray notNumber = channelFile("10", 24);
    notNumber.replace("\r\n50\r\n", "\r\nfifty\r\n");
    QByteArray negative = channelFile("10", 24);
    negative.replace("\r\n70\r\n", "\r\n-70\r\n");
    QByteArray tooBig = channelFile("10", 24);
    tooBig.replace("\r\n30\r\n", "\r\n70000\r\n");
    QByteArray huge = channelFile("10", 24);
    huge.replace("\r\n20\r\n", "\r\n1e999\r\n");
    const Case cases[] = {
        {"short.csv", channelFile("10", 10), "ends before", 10},
        {"word.csv", notNumber, "line 6", 4},
        {"negative.csv", negative, "line 8", 6},
        {"big.csv", tooBig, "65535", 2},
        {"huge.csv", huge, "too large", 1},
        {"ref.csv", channelFile("1e400", 24), "reference", 0},
        {"binary.csv", QByteArray(200000, '\0'), "binary.csv", 0},
        {"blank.csv", QByteArray(200000, ' '), "not a channel file", 0},
    };
    for (const Case& c : cases) {
        for (int n = 1; n <= 24; ++n)
            chip().setDacRegister(n - 1, 999);
        write(path(c.name), c.text);
        reports.clear();
        load(path(c.name));
        ASSERT_EQ(reports.size(), 1) << c.name;
        EXPECT_TRUE(reports[0].contains(c.name)) << reports[0].toStdString();
        EXPECT_TRUE(reports[0].contains(c.says)) << reports[0].toStdString();
        for (int n = 1; n <= 24; ++n)
            ASSERT_EQ(chip().dacRegister(n - 1), n <= c.applied ? n * 10 : 999) << c.name << " channel " << n;
    }
    reports.clear();
    load(path("missing.csv"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("missing.csv"));
}

TEST_F(Files, CancelTouchesNothingAndAFailedSaveKeepsTheOldFile)
{
    chosen.clear();
    click("Command1");
    click("Command2");
    EXPECT_EQ(stored("Startup/Default_Dir"), "/remembered/");

    const QString file = path("keep.csv");
    write(file, "old content\r\n");
    chosen = file;
    // A disk that fills up mid-write: the file size limit makes the write fail like ENOSPC would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 20;
    setrlimit(RLIMIT_FSIZE, &tiny);
    click("Command1");
    setrlimit(RLIMIT_FSIZE, &old);
    // The remembered directory could not be written either; both are said, the file last.
    ASSERT_EQ(reports.size(), 2) << reports.join(" / ").toStdString();
    EXPECT_TRUE(reports[0].contains("KRM72340.ini")) << reports[0].toStdString();
    EXPECT_TRUE(reports[1].contains("keep.csv")) << reports[1].toStdString();
    EXPECT_EQ(read(file), "old content\r\n");

    // Saving twice leaves only the second content.
    reports.clear();
    click("Command1");
    model().vref_high_cur = 2;
    click("Command1");
    EXPECT_TRUE(read(file).startsWith("2\r\n"));
    EXPECT_TRUE(reports.isEmpty());
}

} // namespace
