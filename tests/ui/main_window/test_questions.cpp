// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "support/qstring_printer.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

namespace {

// Calls fn with the modal window of type W once the command about to run has opened it.
template <typename W> void onModal(std::function<void(W*)> fn)
{
    QTimer::singleShot(0, [fn] {
        auto* modal = qobject_cast<W*>(QApplication::activeModalWidget());
        ASSERT_NE(modal, nullptr);
        fn(modal);
    });
}

class Questions : public AppFixture {
protected:
    static QByteArray read(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

TEST_F(Questions, SaveAsksBeforeReplacingAndAddsTheCsvExtensionWhileItsFilterIsSelected)
{
    start(onCom1({{"vref_high0/10", "2.5"}, {"Startup/Default_Dir", dir.path() + "/"}}));
    const QString kept = dir.filePath("keep.csv");
    {
        QFile f(kept);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old\r\n");
    }
    // Each command's dialog: its kind, where it opens, its filters; then the names typed, in order, with the
    // filter chosen before them.
    const struct {
        const char* button;
        QFileDialog::AcceptMode mode;
        int filter;
        QStringList typed;
    } cases[] = {
        {"Command2", QFileDialog::AcceptOpen, 0, {}},
        {"Command1", QFileDialog::AcceptSave, 0, {"keep.csv", "new"}},
        {"Command1", QFileDialog::AcceptSave, 1, {"plain"}},
    };
    QStringList overwriteQuestions;
    for (const auto& c : cases) {
        onModal<QFileDialog>([&](QFileDialog* d) {
            EXPECT_EQ(d->acceptMode(), c.mode);
            EXPECT_EQ(d->directory().absolutePath(), dir.path());
            EXPECT_EQ(d->nameFilters(), QStringList({"Csv Files (*.csv)", "All Files (*.*)"}));
            const auto* buttons = d->findChild<QDialogButtonBox*>();
            ASSERT_NE(buttons, nullptr);
            QAbstractButton* accept = nullptr;
            for (QAbstractButton* button : buttons->buttons())
                if (buttons->buttonRole(button) == QDialogButtonBox::AcceptRole)
                    accept = button;
            ASSERT_NE(accept, nullptr);
            EXPECT_EQ(accept->text().remove('&'), c.mode == QFileDialog::AcceptSave ? "Save" : "Open");
            if (c.typed.isEmpty()) {
                d->reject();
                return;
            }
            auto* types = d->findChild<QComboBox*>("fileTypeCombo");
            types->setFocus();
            QTest::keyClick(types, c.filter == 0 ? Qt::Key_Home : Qt::Key_End); // as a user picks one
            auto* name = d->findChild<QLineEdit*>("fileNameEdit");
            for (const QString& typed : c.typed) {
                // As a user types it: the dialog follows the text only while the box has the focus.
                d->activateWindow();
                name->setFocus();
                EXPECT_TRUE(QTest::qWaitFor([name] { return name->hasFocus(); }));
                if (QFile::exists(dir.filePath(typed)))
                    onModal<QMessageBox>([&](QMessageBox* box) {
                        overwriteQuestions << box->text();
                        box->button(QMessageBox::No)->click();
                    });
                name->setText(typed);
                accept->click();
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
