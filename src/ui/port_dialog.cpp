// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/port_dialog.h"

#include "app/bench.h"
#include "i2cdev/adapter_list.h"
#include "serial/port_catalog.h"
#include "serial/serial_link.h"
#include "ui/commands.h"
#include "ui/host.h"
#include "ui/screen_fit.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include <utility>

namespace ui {

namespace {

// Wider than the original 2700 twips: the device line and the access hint sit to the right of the lists.
constexpr int kClientWidth = 8400;
constexpr int kClientHeight = 2175;
constexpr int kFrameWidth = kClientWidth - 240;
constexpr int kBesideLeft = 2300;
constexpr int kBesideWidth = kFrameWidth - kBesideLeft - 120;

const QString kComPrefix = QStringLiteral("COM");

QComboBox* dropDown(QWidget* parent, const QString& name, int left, int top)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->setEditable(false);
    placeInTwips(c, left, top, 1092, 315);
    return c;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& caption, int left)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    placeInTwips(b, left, 1680, 1095, 375);
    return b;
}

} // namespace

PortDialog::PortDialog(Host& host, QWidget* parent)
    : QDialog(parent), host_(host), link_(host.bench().link()), catalog_(host.bench().catalog())
{
    setUpWindow(this, QStringLiteral("frmPortSettings"), QStringLiteral("COM Port Setup"), kClientWidth,
                kClientHeight);

    auto* frame = new QGroupBox(QStringLiteral("Select Serial Port"), this);
    frame->setObjectName(QStringLiteral("frmCommPort"));
    QFont bold = font();
    bold.setBold(true);
    frame->setFont(bold);
    placeInTwips(frame, 120, 120, kFrameWidth, 1455);

    placed<QLabel>(frame, QStringLiteral("Label1"), QStringLiteral("Port # :"), 120, 360, 735, 255);
    comboComPort_ = dropDown(frame, QStringLiteral("comboComPort"), 1080, 360);
    placed<QLabel>(frame, QStringLiteral("Label2"), QStringLiteral("Baud Rate:"), 120, 840, 975, 255);
    comboBitRate_ = dropDown(frame, QStringLiteral("comboBitRate"), 1080, 840);
    deviceLabel_ =
        placed<QLabel>(frame, QStringLiteral("lblDevice"), {}, kBesideLeft, 360, kBesideWidth, 240);
    txtstatusLabel_ = placed<QLabel>(frame, QStringLiteral("txtstatusLabel"), {}, kBesideLeft, 600,
                                     kBesideWidth, 1455 - 600 - 40);
    txtstatusLabel_->setWordWrap(true);
    txtstatusLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Only the caption is bold; the weight has to be set explicitly or the children inherit the frame's.
    QFont normal = font();
    normal.setBold(false);
    for (QWidget* child : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        child->setFont(normal);

    cmdOK_ = button(this, QStringLiteral("cmdOK"), QStringLiteral("OK"), 120);
    cmdCancel_ = button(this, QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), 1320);
    connect(cmdOK_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(comboComPort_, cmdCancel_);
    setTabOrder(cmdCancel_, cmdOK_);
    setTabOrder(cmdOK_, comboBitRate_);
    ScreenFit::apply(this);
    comboComPort_->setFocus();

    // activated: picking the entry already selected reopens the port too (after re-plugging an adapter).
    connect(comboComPort_, &QComboBox::activated, this, &PortDialog::comboComPortClick);
    connect(comboBitRate_, &QComboBox::activated, this, &PortDialog::comboBitRateClick);

    if (link_.BitRate == 0)
        link_.BitRate = 9600;
    FillPortList();
    FillRateList();
}

void PortDialog::FillPortList()
{
    const QString current = kComPrefix + QString::number(link_.PortNumber);
    comboComPort_->addItems(link_.PortList);
    comboComPort_->setCurrentIndex(-1);
    const auto found = static_cast<int>(link_.PortList.indexOf(current));
    if (link_.PortNumber < 1) {
        txtstatusLabel_->setText(QStringLiteral("Please select a COM port."));
    } else if (found < 0) {
        txtstatusLabel_->setText(current +
                                 QStringLiteral(" is unavailable. Please select a different port."));
    } else {
        // Selecting while filling counts as a pick: the stored port is applied again.
        comboComPort_->setCurrentIndex(found);
        comboComPortClick(found);
    }
    const QString hint = permissionHint();
    if (!hint.isEmpty())
        txtstatusLabel_->setText(txtstatusLabel_->text().isEmpty() ? hint
                                                                   : txtstatusLabel_->text() + u'\n' + hint);
}

void PortDialog::FillRateList()
{
    comboBitRate_->addItems({QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200"),
                             QStringLiteral("28800"), QStringLiteral("38400")});
    comboBitRate_->setCurrentIndex(-1);
    for (int i = 0; i < comboBitRate_->count(); ++i) {
        if (comboBitRate_->itemText(i).toInt() == link_.BitRate) {
            comboBitRate_->setCurrentIndex(i);
            comboBitRateClick(i);
        }
    }
}

void PortDialog::comboComPortClick(int index)
{
    if (index < 0)
        return;
    runPick([this, index] {
        link_.PortNumber = comboComPort_->itemText(index).mid(kComPrefix.size()).toShort();
        // A port the user picks is theirs to keep, whatever the command line chose for the run.
        host_.bench().setPortOverride(std::nullopt);
        showDevice();
    });
}

void PortDialog::comboBitRateClick(int index)
{
    if (index < 0)
        return;
    runPick([this, index] { link_.BitRate = comboBitRate_->itemText(index).toInt(); });
}

void PortDialog::runPick(std::function<void()> pick)
{
    // Each pick is a command of its own, in the order picked; the port it names is opened as start-up opens
    // one, and the settings that changed are written after it.
    host_.commands().post([this, pick = std::move(pick), dialog = QPointer<PortDialog>(this)]() -> Task<> {
        if (!dialog)
            co_return;
        pick();
        co_await host_.openSelectedPort();
        // Channels still unknown (a first run, a start-up without a chip) are read as soon as one answers.
        co_await host_.readUnknownChannels();
    });
}

void PortDialog::showDevice()
{
    const int n = comboComPort_->currentIndex() < 0 ? 0 : link_.PortNumber;
    if (n == 0) {
        deviceLabel_->clear();
    } else if (!catalog_) {
        deviceLabel_->setText(n == 1 ? QStringLiteral("Simulated board") : QString());
    } else {
        const QString path = catalog_->devicePath(n);
        const QString description = catalog_->description(n);
        deviceLabel_->setText(description.isEmpty() ? path : path + QStringLiteral(" \u2013 ") + description);
    }
    deviceLabel_->setToolTip(deviceLabel_->text());
}

QString PortDialog::permissionHint() const
{
    if (!catalog_)
        return {};
    QStringList hints;
    const QList<serial::DeviceProblem> problems = catalog_->permissionProblems();
    if (!problems.isEmpty()) {
        QStringList devices;
        QString group;
        for (const serial::DeviceProblem& p : problems) {
            devices << p.path + QStringLiteral(" (") + kComPrefix + QString::number(p.port) + u')';
            if (group.isEmpty())
                group = p.group;
        }
        const QString join =
            group.isEmpty()
                ? QStringLiteral("Join the group that owns it (usually dialout: sudo usermod -aG dialout "
                                 "$USER)")
                : QStringLiteral("Join the group %1 (sudo usermod -aG %1 $USER)").arg(group);
        hints << QStringLiteral("No permission to open %1. %2, then log out and in again.")
                     .arg(devices.join(QStringLiteral(", ")), join);
    }
    // Kernel I2C adapters get a COM name only once they may be opened: say which are there but closed.
    QStringList closed;
    QString group;
    for (const i2cdev::Adapter& adapter : i2cdev::listAdapters())
        if (!adapter.usable && adapter.problem.contains(QLatin1String("ermission"))) {
            closed << adapter.node;
            group = adapter.group;
        }
    if (!closed.isEmpty())
        hints << QStringLiteral(
                     "The I2C adapters %1 may not be opened: join the group %2 (sudo usermod -aG %2 "
                     "$USER), then log out and in again, for their COM names.")
                     .arg(closed.join(QStringLiteral(", ")), group.isEmpty() ? QStringLiteral("i2c") : group);
    return hints.join(u'\n');
}

} // namespace ui
