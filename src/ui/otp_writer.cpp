// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/otp_writer.h"

#include "app/bench.h"
#include "model/numbers.h"
#include "ui/commands.h"
#include "ui/host.h"
#include "ui/screen_fit.h"
#include "ui/widgets.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <algorithm>

namespace ui {

namespace {

// Client area in twips.
constexpr int kClientWidth = 3795;
constexpr int kClientHeight = 2805;

QLineEdit* readOnlyBox(QWidget* parent, const QString& name, int left, int top, int width, int height)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setReadOnly(true);
    placeInTwips(box, left, top, width, height);
    return box;
}

} // namespace

OtpWriter::OtpWriter(Host& host) : QWidget(host.hostWindow(), Qt::Window), host_(host)
{
    setUpWindow(this, QStringLiteral("frmWriteSingleOTP"), QStringLiteral("Write OTP Reg"), kClientWidth,
                kClientHeight);
    buildLayout();
    ScreenFit::apply(this);

    fillTables();
    RegisterPosition = 0;
    showSelection();
}

void OtpWriter::buildLayout()
{

    QLabel* caption =
        placed<QLabel>(this, QStringLiteral("Label2"), QStringLiteral("OTP Register:"), 120, 480, 855, 495);
    caption->setWordWrap(true);
    label1_ = placed<QLabel>(this, QStringLiteral("Label1"), {}, 240, 1200, 615, 255);
    text1_ = readOnlyBox(this, QStringLiteral("Text1"), 960, 1170, 1095, 285);
    placed<QLabel>(this, QStringLiteral("Label3"), QStringLiteral("V"), 2160, 1200, 255, 255);
    text2_ = readOnlyBox(this, QStringLiteral("Text2"), 2400, 1170, 615, 285);
    placed<QLabel>(this, QStringLiteral("Label4"), QStringLiteral("h"), 3120, 1200, 255, 255);

    upDown1_ = new UpDown(this);
    upDown1_->setObjectName(QStringLiteral("UpDown1"));
    placeInTwips(upDown1_, 3360, 840, 255, 855);
    connect(upDown1_, &UpDown::downClicked, this, [this] { step(+1); });
    connect(upDown1_, &UpDown::upClicked, this, [this] { step(-1); });

    command1_ = new QPushButton(QStringLiteral("Write Selected Reg to OTP"), this);
    command1_->setObjectName(QStringLiteral("Command1"));
    placeInTwips(command1_, 360, 1920, 2775, 735);
    connect(command1_, &QPushButton::clicked, this, &OtpWriter::writeSelected);
}

void OtpWriter::fillTables()
{
    RegisterLabel.clear();
    for (int position = 0; position < 18; ++position) {
        RegisterLabel << QString::number(position + 1);
        RegisterIndex.at(position) = position;
    }
    // The chip holds c1 and c2 between outputs 18 and 19; the list shows them last.
    for (int position = 18; position < 22; ++position) {
        RegisterLabel << QString::number(position + 1);
        RegisterIndex.at(position) = position + 2;
    }
    RegisterLabel << QStringLiteral("c1") << QStringLiteral("c2");
    RegisterIndex.at(22) = 18;
    RegisterIndex.at(23) = 19;
}

void OtpWriter::showSelection()
{
    const int r = RegisterIndex.at(RegisterPosition);
    text1_->setText(host_.voltBoxText(r));
    text2_->setText(host_.codeBoxText(r));
    label1_->setText(RegisterLabel.at(RegisterPosition));
}

void OtpWriter::step(int delta)
{
    RegisterPosition = std::clamp(RegisterPosition + delta, 0, kRegisters - 1);
    showSelection();
}

void OtpWriter::writeSelected()
{
    host_.commands().post([this, writer = QPointer<OtpWriter>(this)]() -> Task<> {
        if (!writer)
            co_return;
        const model::ChannelModel& model = host_.bench().channels();
        const int n = RegisterIndex.at(RegisterPosition) + 1;
        // The model's code at this moment, which may be newer than the copy shown in Text2.
        const int code = model::register_code(model.code.at(n));
        const double volts = model.shown_voltage(code);
        co_await host_.burnOtp(n, QStringLiteral("channel %1 (register %2): code %3h, %4 V")
                                      .arg(RegisterLabel.at(RegisterPosition))
                                      .arg(n - 1)
                                      .arg(model::code_text(code), model::volt_text(volts)));
    });
}

} // namespace ui
