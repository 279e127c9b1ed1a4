// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QDialog>

#include <functional>

class QComboBox;
class QLabel;
class QPushButton;

namespace serial {
class PortCatalog;
class SerialLink;
} // namespace serial

namespace ui {

class Host;

// frmPortSettings: picks the COM port and the bit rate. Every pick is a command that applies it to the link
// and reopens the port; OK and Cancel only close, so nothing is kept here between openings.
class PortDialog : public QDialog {
    Q_OBJECT
public:
    PortDialog(Host& host, QWidget* parent);

    QComboBox* comboComPort() const { return comboComPort_; }
    QComboBox* comboBitRate() const { return comboBitRate_; }
    QLabel* statusLabel() const { return txtstatusLabel_; }
    QLabel* deviceLabel() const { return deviceLabel_; }
    QPushButton* okButton() const { return cmdOK_; }
    QPushButton* cancelButton() const { return cmdCancel_; }

private:
    void FillPortList();
    void FillRateList();
    void comboComPortClick(int index);
    void comboBitRateClick(int index);
    void runPick(std::function<void()> pick);
    void showDevice();
    QString permissionHint() const;

    Host& host_;
    serial::SerialLink& link_;
    const serial::PortCatalog* catalog_;
    QComboBox* comboComPort_ = nullptr;
    QComboBox* comboBitRate_ = nullptr;
    QLabel* txtstatusLabel_ = nullptr;
    QLabel* deviceLabel_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
};

} // namespace ui
