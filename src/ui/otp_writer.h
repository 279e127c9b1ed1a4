// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QStringList>
#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {

class Host;
class UpDown;

// frmWriteSingleOTP: burns one chosen channel register into the chip's OTP memory. The list order puts
// the outputs 1..22 first and the chip's registers c1 and c2 (18, 19) last.
class OtpWriter : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRegisters = 24;

    explicit OtpWriter(Host& host);

    QLabel* registerLabel() const { return label1_; }
    QLineEdit* voltBox() const { return text1_; }
    QLineEdit* codeBox() const { return text2_; }
    UpDown* arrows() const { return upDown1_; }
    QPushButton* writeButton() const { return command1_; }

private:
    void buildLayout();
    void fillTables();
    void showSelection();
    void step(int delta);
    void writeSelected();

    Host& host_;
    QStringList RegisterLabel;
    std::array<int, kRegisters> RegisterIndex{};
    int RegisterPosition = 0;

    QLabel* label1_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QLineEdit* text2_ = nullptr;
    UpDown* upDown1_ = nullptr;
    QPushButton* command1_ = nullptr;
};

} // namespace ui
