// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/channel_file_dialog.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QMessageBox>

namespace {

class Questions : public AppFixture {};

// OTP is burnt once: a Return or Space that was meant for another window must answer Cancel.
TEST_F(Questions, AStrayKeyInTheBurnQuestionAnswersCancel)
{
    start();
    answering = false;
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
        std::optional<QMessageBox::ButtonRole> role;
        QMessageBox* box = ui::yesOrCancel(&w(), "Program OTP", "Burn channel 1?", "Program");
        w().commands().post([&]() -> ui::Task<> { role = co_await w().commands().ask(box); });
        ASSERT_TRUE(QTest::qWaitFor([box] { return box->isVisible(); }));
        QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, key);
        settle();
        EXPECT_EQ(role, QMessageBox::RejectRole) << key;
    }
}

TEST_F(Questions, SaveAsksBeforeReplacingAndAddsTheCsvExtensionWhileItsFilterIsSelected)
{
    start(onCom1({{"vref_high0/10", "2.5"}, {"Startup/Default_Dir", dir.path() + "/"}}));
    file("keep.csv", "old\r\n");
    // The file type picked (0: *.csv), then the names typed, in order.
    const std::pair<int, QStringList> saves[] = {{0, {"keep.csv", "new"}}, {1, {"plain"}}};
    QStringList overwriteQuestions;
    for (const auto& [type, names] : saves) {
        whenModal([&](QWidget* modal) {
            auto* d = qobject_cast<ui::ChannelFileDialog*>(modal);
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->folder(), QFile::encodeName(dir.path()));
            d->typeBox()->setFocus();
            QTest::keyClick(d->typeBox(), type == 0 ? Qt::Key_Home : Qt::Key_End); // as a user picks one
            for (const QString& name : names) {
                if (QFile::exists(dir.filePath(name)))
                    whenModal([&](QWidget* modal) {
                        auto* box = qobject_cast<QMessageBox*>(modal);
                        overwriteQuestions << box->text();
                        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
                        box->button(QMessageBox::No)->click();
                    });
                d->nameBox()->setFocus();
                d->nameBox()->selectAll();
                QTest::keyClicks(d->nameBox(), name);
                QTest::mouseClick(d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                                  Qt::LeftButton);
            }
            if (d->isVisible()) // it did not take the last name: the checks below fail
                d->reject();
        });
        click("Command1");
    }
    EXPECT_EQ(overwriteQuestions, QStringList({"keep.csv already exists.\nDo you want to replace it?"}));
    EXPECT_EQ(scratch::Folder::read(file("keep.csv")), "old\r\n");
    EXPECT_TRUE(scratch::Folder::read(file("new.csv")).startsWith("2.5\r\n"));
    EXPECT_TRUE(scratch::Folder::read(file("plain")).startsWith("2.5\r\n"));
    EXPECT_TRUE(reports.isEmpty()) << reports.join('\n').toStdString();
}

} // namespace
