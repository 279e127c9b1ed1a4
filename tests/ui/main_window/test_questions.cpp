// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "support/qstring_printer.h"
#include "ui/channel_file_dialog.h"
#include "ui/otp_writer.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QToolButton>

namespace {

using Writes = std::vector<std::pair<int, int>>;

// Calls fn with the modal window of type W once the command about to run has opened it.
template <typename W> void onModal(std::function<void(W*)> fn)
{
    whenModal([fn](QWidget* modal) {
        auto* window = qobject_cast<W*>(modal);
        ASSERT_NE(window, nullptr);
        fn(window);
    });
}

class Questions : public AppFixture {
protected:
    // The OTP writer, opened at its first register and stepped down the list once it opens.
    ui::OtpWriter* writer(int steps = 0)
    {
        if (w().otpWriter())
            return w().otpWriter();
        click("Command3");
        for (int k = 0; k < steps; ++k)
            QTest::mouseClick(w().otpWriter()->arrows()->downArrow(), Qt::LeftButton);
        return w().otpWriter();
    }
    static QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

TEST_F(Questions, EveryOtpBurnIsAskedForNamingWhatAndTheBankAndCancelBurnsNothing)
{
    startWith({{18, 333}}, sim::SimulatedBoard::Chips::A0Low);
    const struct {
        const char* what;
        std::function<void()> burn;
        const char* names;
        std::size_t burnt;
    } cases[] = {
        {"all", [this] { click("Command10"); }, "Burn all 24 registers", 24},
        {"c1", [this] { QTest::mouseClick(writer(22)->writeButton(), Qt::LeftButton); },
         "Burn channel c1 (register 18): code 14Dh, 3.251 V", 1},
    };
    int bank = 1;
    for (const auto& c : cases) {
        for (const bool yes : {false, true}) {
            answer = yes;
            questions.clear();
            tap->clear();
            c.burn();
            ASSERT_EQ(questions.size(), 1) << c.what;
            EXPECT_TRUE(questions[0].startsWith(c.names)) << questions[0].toStdString();
            EXPECT_TRUE(questions[0].contains(
                QStringLiteral("into OTP bank %1 (the bank status reads %2) of the chip at 0x74?")
                    .arg(bank)
                    .arg(bank - 1)))
                << questions[0].toStdString();
            EXPECT_EQ(tap->otpWrites().size(), yes ? c.burnt : 0u) << c.what;
            EXPECT_EQ(chip().bankStatus(), yes ? bank : bank - 1) << c.what;
            EXPECT_EQ(chip().resets(), bank - 1 + (yes ? 1 : 0)) << c.what;
        }
        ++bank;
    }

    // Without a chip the bank status reads all ones: the question says it is not known.
    QTest::mouseClick(w().a0Button(), Qt::LeftButton);
    questions.clear();
    answer = false;
    click("Command10");
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].contains("into the next OTP bank (the bank status is not known; Read DAC reads "
                                      "it) of the chip at 0x75?"))
        << questions[0].toStdString();
}

// The fault this mends: Tab, Tab, Space in the OTP writer burnt a register at once.
TEST_F(Questions, AStrayKeyInTheRealQuestionAnswersCancel)
{
    startWith({{0, 100}});
    w().setAsk([this](const QString& title, const QString& text, const QString& yes) {
        return ui::askYesOrCancel(window.get(), title, text, yes);
    });
    ui::OtpWriter* otp = writer();
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Escape}) {
        onModal<QMessageBox>([key](QMessageBox* box) {
            ASSERT_NE(box->defaultButton(), nullptr);
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Cancel));
            QTest::keyClick(box->focusWidget(), key);
        });
        otp->writeButton()->setFocus();
        QTest::keyClick(otp->writeButton(), Qt::Key_Space);
        EXPECT_TRUE(tap->otpWrites().empty()) << key;
    }
    onModal<QMessageBox>([](QMessageBox* box) {
        for (QAbstractButton* button : box->buttons())
            if (button->text() == "Burn")
                button->click();
    });
    QTest::keyClick(otp->writeButton(), Qt::Key_Space);
    EXPECT_EQ(tap->otpWrites(), (Writes{{0, 100}}));
}

TEST_F(Questions, SaveAsksBeforeReplacingAndAddsTheCsvExtensionWhileItsFilterIsSelected)
{
    start(onCom1({{"vref_high0/10", "2.5"}, {"Startup/Default_Dir", dir.path() + "/"}}));
    const QString kept = dir.filePath("keep.csv");
    {
        QFile f(kept);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old\r\n");
    }
    // Each command's dialog: its kind, where it opens, its types; then the names typed, in order, with the
    // type chosen before them.
    const struct {
        const char* button;
        ui::ChannelFileDialog::Mode mode;
        int type;
        QStringList typed;
    } cases[] = {
        {"Command2", ui::ChannelFileDialog::Mode::Open, 0, {}},
        {"Command1", ui::ChannelFileDialog::Mode::Save, 0, {"keep.csv", "new"}},
        {"Command1", ui::ChannelFileDialog::Mode::Save, 1, {"plain"}},
    };
    QStringList overwriteQuestions;
    for (const auto& c : cases) {
        onModal<ui::ChannelFileDialog>([&](ui::ChannelFileDialog* d) {
            EXPECT_EQ(d->mode(), c.mode);
            EXPECT_EQ(d->folder(), QFile::encodeName(dir.path()));
            QStringList types;
            for (int i = 0; i < d->typeBox()->count(); ++i)
                types << d->typeBox()->itemText(i);
            EXPECT_EQ(types, QStringList({"Csv Files (*.csv)", "All Files (*.*)"}));
            auto* accept = d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
            EXPECT_EQ(accept->text(), c.mode == ui::ChannelFileDialog::Mode::Save ? "Save" : "Open");
            if (c.typed.isEmpty()) {
                d->reject();
                return;
            }
            d->typeBox()->setFocus();
            QTest::keyClick(d->typeBox(), c.type == 0 ? Qt::Key_Home : Qt::Key_End); // as a user picks one
            for (const QString& typed : c.typed) {
                if (QFile::exists(dir.filePath(typed)))
                    onModal<QMessageBox>([&](QMessageBox* box) {
                        overwriteQuestions << box->text();
                        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
                        box->button(QMessageBox::No)->click();
                    });
                d->nameBox()->setFocus();
                d->nameBox()->selectAll();
                QTest::keyClicks(d->nameBox(), typed);
                QTest::mouseClick(accept, Qt::LeftButton);
            }
            if (d->isVisible()) {
                ADD_FAILURE() << "the dialog did not take " << c.typed.last().toStdString();
                d->reject();
            }
        });
        click(c.button);
    }
    EXPECT_EQ(overwriteQuestions, QStringList({"keep.csv already exists.\nDo you want to replace it?"}));
    EXPECT_EQ(read(kept), "old\r\n");
    EXPECT_TRUE(read(dir.filePath("new.csv")).startsWith("2.5\r\n"));
    EXPECT_TRUE(read(dir.filePath("plain")).startsWith("2.5\r\n"));
    EXPECT_TRUE(reports.isEmpty()) << reports.join('\n').toStdString();
}

} // namespace
