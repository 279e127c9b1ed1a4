// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/channel_file_dialog.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QMessageBox>

namespace {

// Calls fn with the modal window of type W once the command about to run has opened it.
template <typename W> void onModal(std::function<void(W*)> fn)
{
    whenModal([fn](QWidget* modal) {
        auto* window = qobject_cast<W*>(modal);
        ASSERT_NE(window, nullptr);
        fn(window);
    });
}

class Questions : public AppFixture {};

// The fault this mends: Tab, Tab, Space in the OTP writer burnt a register at once. Each key pressed by
// mistake answers Cancel; only the yes button says yes.
TEST_F(Questions, AStrayKeyInTheRealQuestionAnswersCancel)
{
    startWith();
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Escape, Qt::Key_unknown}) {
        onModal<QMessageBox>([key](QMessageBox* box) {
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Cancel));
            if (key != Qt::Key_unknown)
                return QTest::keyClick(box->focusWidget(), key);
            for (QAbstractButton* button : box->buttons())
                if (button->text() == "Burn")
                    button->click();
        });
        EXPECT_EQ(ui::askYesOrCancel(&w(), "Program OTP", "Burn?", "Burn"), key == Qt::Key_unknown) << key;
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
        onModal<ui::ChannelFileDialog>([&](ui::ChannelFileDialog* d) {
            EXPECT_EQ(d->folder(), QFile::encodeName(dir.path()));
            d->typeBox()->setFocus();
            QTest::keyClick(d->typeBox(), type == 0 ? Qt::Key_Home : Qt::Key_End); // as a user picks one
            for (const QString& name : names) {
                if (QFile::exists(dir.filePath(name)))
                    onModal<QMessageBox>([&](QMessageBox* box) {
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
