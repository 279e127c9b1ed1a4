// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/channel_file_dialog.h"

#include <QListWidget>
#include <QRegularExpression>

namespace {

// A reference and `codes` codes 10, 20, 30 ...
QByteArray channelFile(const QByteArray& reference, int codes, const QByteArray& separator = "\r\n")
{
    QByteArray text = reference;
    for (int n = 1; n <= codes; ++n)
        text += separator + QByteArray::number(n * 10);
    return text + "\r\n";
}

class Files : public AppFixture {};

// Each channel goes out as it is read: a fault leaves the channels before it applied. (The bad files keep the
// reference, so the refresh after each rewrites no row.)
TEST_F(Files, ALoadAppliesEveryFormAcceptedAndReportsBadInputByFileAndLine)
{
    startWith();
    w().commandButton("Command8")->setFocus(); // leaving the reference box would first reload the reference
    const auto damaged = [](const QByteArray& from, const QByteArray& to) {
        return channelFile("10", 24).replace("\r\n" + from + "\r\n", "\r\n" + to + "\r\n");
    };
    const struct {
        const char* name;
        QByteArray text;
        const char* says; // "": accepted
        int applied;      // channels written
    } cases[] = {
        {"short.csv", channelFile("10", 10), "ends before", 10},
        {"word.csv", damaged("50", "fifty"), "line 6", 4},
        {"ref.csv", channelFile("1e400", 24), "reference", 0},
        // The NUL shown, and the text after it too.
        {"nul.csv", QByteArray("1\0x\r\n2\r\n", 8), "has \"1\\x00x\" on line 1", 0},
        {"binary.csv", QByteArray(200000, '\0'), "binary.csv", 0},
        {"missing.csv", {}, "could not be opened", 0},
        {"commas.csv", channelFile("2.5", 24, ", "), "", 24},
        {"thirty.csv", channelFile("4.096", 29), "more than 25 values", 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int reg = 0; reg < 24; ++reg)
            chip().setDacRegister(reg, 999);
        reports.clear();
        use(file(c.name, c.text), "Command2");
        if (*c.says == 0)
            EXPECT_EQ(reports.join(' ') + w().referenceBox()->text(),
                      QString(c.text).section(QRegularExpression("[,\r]"), 0, 0));
        else
            EXPECT_TRUE(reports.size() == 1 && reports[0].contains(c.name) && reports[0].contains(c.says))
                << reports.join('\n').toStdString();
        for (int n = 1; n <= 24; ++n)
            ASSERT_EQ(chip().dacRegister(n - 1), n <= c.applied ? n * 10 : 999) << "channel " << n;
    }
}

// The file dialog lists a name by its bytes; picking it gives them back.
TEST_F(Files, NamesThatAreNotUtf8AreListedAndOpened)
{
    startWith();
    const scratch::Folder folder;
    const QByteArray name = "set-\xff.csv";
    ASSERT_TRUE(scratch::Folder::write(folder.path(name), channelFile("2.5", 24)));
    ASSERT_TRUE(scratch::Folder::write(folder.path("other.txt"), ""));
    ui::ChannelFileDialog dialog(folder.path(), &w());
    ASSERT_EQ(dialog.entryList()->count(), 2); // ".." and the file: *.csv only
    dialog.entryList()->setCurrentRow(1);
    EXPECT_EQ(dialog.nameBox()->text(), "set-\\xFF.csv");
    dialog.accept();
    EXPECT_EQ(dialog.chosen(), folder.path(name));
    use(dialog.chosen(), "Command2");
    EXPECT_EQ(chip().dacRegister(23), 240);
}

} // namespace
