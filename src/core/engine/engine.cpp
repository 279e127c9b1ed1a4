// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "engine/engine.h"

#include "bus/device.h"
#include "serial/system_port.h"
#include "sim/simulated_board.h"

#include <algorithm>

namespace engine {

namespace {

std::unique_ptr<serial::TracingPort> makeTrace(serial::SerialPort& device, serial::BusTrace* trace)
{
    if (!trace)
        return {};
    // The simulated board knows its wire levels; a real port is asked through DSR.
    serial::TracingPort::SdaWire wire;
    if (const auto* board = dynamic_cast<const sim::SimulatedBoard*>(&device))
        wire = [board] { return board->sdaWire(); };
    return std::make_unique<serial::TracingPort>(device, *trace, std::move(wire));
}

bool isKernelAdapter(const QString& path)
{
    return path.startsWith(QLatin1String("/dev/i2c-"));
}

serial::SerialPort& busPort(serial::SerialPort& device, const std::unique_ptr<serial::TracingPort>& trace)
{
    return trace ? static_cast<serial::SerialPort&>(*trace) : device;
}

// The 7-bit address an address byte's text selects, read as the bus reads it (only an exact '1' is a 1).
int address7(const QString& addressByte)
{
    return bus::byteOf(addressByte) >> 1;
}

template <class... F> struct Visitor : F... {
    using F::operator()...;
};
template <class... F> Visitor(F...) -> Visitor<F...>;

} // namespace

QString Failure::portKind() const
{
    return adapter ? QStringLiteral("I2C adapter") : QStringLiteral("serial port");
}

QString Failure::text() const
{
    if (kind == Kind::Port)
        return QStringLiteral("The %1 failed.\n\n%2: %3").arg(portKind(), operation, reason);
    return reason;
}

void Failure::raise() const
{
    switch (kind) {
    case Kind::Port:
        throw serial::PortError(portFailure, operation, reason);
    case Kind::Unusable:
        throw bus::BusUnusable(reason);
    case Kind::NotAcknowledged:
        throw bus::NotAcknowledged(reason);
    case Kind::NoTransmitLine:
        throw NoTransmitLine(reason);
    case Kind::Interrupted:
        break;
    }
    throw bus::Interrupted();
}

void Engine::Hub::starting(const bus::Transaction& about)
{
    const std::lock_guard lock(mutex);
    for (bus::BusObserver* observer : observers)
        observer->starting(about);
}

void Engine::Hub::done(const bus::Transaction& transaction)
{
    count.fetch_add(1, std::memory_order_relaxed);
    const std::lock_guard lock(mutex);
    for (bus::BusObserver* observer : observers)
        observer->done(transaction);
}

Engine::Engine(std::unique_ptr<serial::SerialPort> device, const serial::PortCatalog* catalog,
               const QByteArray& tracePath)
    : catalog_(catalog), device_(std::move(device)),
      busTrace_(tracePath.isEmpty() ? nullptr : std::make_unique<serial::BusTrace>(tracePath)),
      trace_(makeTrace(*device_, busTrace_.get())), control_(busPort(*device_, trace_)),
      i2c_(busPort(*device_, trace_))
{
    watch(i2c_);
    if (catalog_) {
        kernel_ = std::make_unique<i2cdev::KernelI2cBus>();
        watch(*kernel_);
        if (busTrace_) {
            kernelTrace_ = std::make_unique<i2cdev::TransactionTrace>(*busTrace_);
            kernel_->setTrace(kernelTrace_.get());
        }
    }
}

void Engine::watch(bus::Master& master)
{
    // The interrupter first: a transaction it stops is never told to anyone as begun.
    master.addObserver(&interrupter_);
    master.addObserver(&hub_);
}

void Engine::setTriggerPort(const QString& device, const QString& lockDir)
{
    triggerDevice_ = device;
    triggerLockDir_ = lockDir;
    triggerPort_.reset();
    triggerCatalog_.reset();
}

Engine::~Engine() = default;

void Engine::addObserver(bus::BusObserver* observer)
{
    const std::lock_guard lock(hub_.mutex);
    if (std::find(hub_.observers.begin(), hub_.observers.end(), observer) == hub_.observers.end())
        hub_.observers.push_back(observer);
}

void Engine::removeObserver(bus::BusObserver* observer)
{
    const std::lock_guard lock(hub_.mutex);
    hub_.observers.erase(std::remove(hub_.observers.begin(), hub_.observers.end(), observer),
                         hub_.observers.end());
}

std::optional<QString> Engine::traceFailure() const
{
    return busTrace_ ? busTrace_->failure() : std::nullopt;
}

Outcome Engine::run(const Batch& batch)
{
    Outcome outcome;
    std::optional<bus::Interrupter::Uninterruptible> shield;
    if (batch.uninterruptible)
        shield.emplace(interrupter_);
    const auto failed = [&](Failure failure) {
        outcome.failure = std::move(failure);
        if (outcome.failure->kind != Failure::Kind::Interrupted &&
            outcome.failure->kind != Failure::Kind::Unusable)
            release();
    };
    try {
        for (const Command& command : batch.commands)
            outcome.replies.push_back(perform(command));
    } catch (const bus::Interrupted&) {
        failed({Failure::Kind::Interrupted, {}, {}, QStringLiteral("the bus work was stopped")});
    } catch (const serial::PortError& e) {
        failed({Failure::Kind::Port, e.kind(), e.operation(), e.reason(), master_ != &i2c_});
    } catch (const bus::BusUnusable& e) {
        failed({Failure::Kind::Unusable, {}, {}, e.text()});
    } catch (const bus::NotAcknowledged& e) {
        failed({Failure::Kind::NotAcknowledged, {}, {}, e.text()});
    } catch (const NoTransmitLine& e) {
        failed({Failure::Kind::NoTransmitLine, {}, {}, e.text()});
    }
    notice();
    outcome.connection = connection_;
    outcome.traceFailure = traceFailure();
    return outcome;
}

Reply Engine::perform(const Command& command)
{
    Reply reply;
    std::visit(Visitor{
                   [&](const OpenPort& c) { open(c, reply); },
                   [&](const Probe& c) { reply.acknowledged = probe(c.a0, c.shown); },
                   [&](const ReadRegister& c) { reply.word = bus::readRegister(*master_, c.a0, c.reg5); },
                   [&](const ReadBankStatus& c) { reply.word = bus::readBankStatusWord(*master_, c.a0); },
                   [&](const WriteRegister& c) {
                       if (c.otp)
                           bus::programOtpRegister(*master_, c.low, c.high, c.address, c.pointer);
                       else
                           bus::writeDacRegister(*master_, c.low, c.high, c.address, c.pointer);
                   },
                   [&](const ResetChip&) { bus::resetChip(*master_); },
                   [&](const SendBlock& c) { sendBlock(c.block, reply); },
               },
               command);
    return reply;
}

void Engine::open(const OpenPort& command, Reply& reply)
{
    ConnectionState& c = connection_;
    rate_ = command.rate;
    if (kernel_) {
        kernel_->close();
        kernel_->setUnusable(std::nullopt);
    }
    master_ = &i2c_;
    i2c_.setUnusable(std::nullopt);
    if (command.attempt && openAdapter(command, reply))
        return;
    if (!command.attempt) {
        c = {};
        c.port = command.port;
        c.label = portLabel(command.port);
        c.portState =
            c.port < 1 ? ConnectionState::PortState::NoPortChosen : ConnectionState::PortState::Unavailable;
        return;
    }
    const serial::PortControl::Opened opened =
        control_.fncInitializeComPort(command.rate, static_cast<qint16>(command.port));
    control_.SetPortTimeouts(command.rate);
    reply.alreadyOpen = opened.alreadyOpen;

    c = {};
    c.port = command.port;
    c.label = portLabel(command.port);
    serial::SerialPort& port = control_.port();
    const auto& failure = control_.openFailure();
    if (c.port < 1) {
        c.portState = ConnectionState::PortState::NoPortChosen;
    } else if (port.isOpen()) {
        c.portState = ConnectionState::PortState::Open;
        const auto* system = dynamic_cast<const serial::SystemPort*>(device_.get());
        c.description = system ? system->description() : QString();
        if (c.description.isEmpty() && catalog_)
            c.description = catalog_->description(c.port);
    } else if (failure && failure->port == c.port) {
        c.problem = failure->error.reason();
        switch (failure->error.kind()) {
        case serial::PortFailure::AlreadyOpen:
            c.portState = ConnectionState::PortState::InUse;
            break;
        case serial::PortFailure::PermissionDenied:
            c.portState = ConnectionState::PortState::NoPermission;
            if (catalog_)
                for (const serial::DeviceProblem& p : catalog_->permissionProblems())
                    if (p.port == c.port)
                        c.group = p.group;
            break;
        case serial::PortFailure::Gone:
            c.portState = ConnectionState::PortState::Gone;
            break;
        default:
            c.portState = ConnectionState::PortState::CannotOpen;
            break;
        }
    } else {
        c.portState = ConnectionState::PortState::Unavailable;
    }

    // A port that fails here is shown, not reported.
    try {
        c.lines = i2c_.checkLines();
        i2c_.setUnusable(c.lines.usable() ? std::nullopt : std::optional<QString>(c.refusalText()));
        reply.acknowledged = probe(command.a0, true);
    } catch (const serial::PortError&) {
        notice();
    }
}

bool Engine::openAdapter(const OpenPort& command, Reply& reply)
{
    const QString path = catalog_ ? catalog_->devicePath(command.port) : QString();
    if (!kernel_ || !isKernelAdapter(path))
        return false;
    // The line-level port lets go of whatever it had open; this port's bus is the adapter's.
    control_.port().close();
    ConnectionState& c = connection_;
    c = {};
    c.port = command.port;
    c.label = portLabel(command.port);
    try {
        kernel_->open(path);
    } catch (const serial::PortError& e) {
        c.problem = e.reason();
        switch (e.kind()) {
        case serial::PortFailure::AlreadyOpen:
            c.portState = ConnectionState::PortState::InUse;
            reply.alreadyOpen = true;
            break;
        case serial::PortFailure::PermissionDenied:
            c.portState = ConnectionState::PortState::NoPermission;
            c.group = serial::owningGroup(path);
            break;
        default:
            c.portState = ConnectionState::PortState::CannotOpen;
            break;
        }
        return true;
    }
    master_ = kernel_.get();
    c.portState = ConnectionState::PortState::Open;
    c.description = kernel_->description();
    try {
        c.lines = master_->checkLines();
        reply.acknowledged = probe(command.a0, true);
    } catch (const serial::PortError&) {
        notice();
    }
    return true;
}

void Engine::sendBlock(const QByteArray& block, Reply& reply)
{
    if (!triggerDevice_.isEmpty()) {
        if (!triggerPort_ || !triggerPort_->isOpen()) {
            // A COM name of the catalog's, or a device given by its path.
            QString path = triggerDevice_;
            if (catalog_ && path.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
                path = catalog_->devicePath(path.mid(3).toInt());
            triggerCatalog_ = std::make_unique<serial::PortCatalog>(QMap<int, QString>{{1, path}},
                                                                    QList<serial::SerialDevice>{});
            triggerPort_ = std::make_unique<serial::PosixSerialPort>(*triggerCatalog_, triggerLockDir_);
            // A first run has no rate stored yet; the port dialog offers 9600 first.
            triggerPort_->setLineSettings(rate_ > 0 ? rate_ : 9600);
            // Opening releases the modem lines the kernel raised, where the port has any.
            triggerPort_->open(1);
        }
        triggerPort_->write(block);
    } else if (master_ != &i2c_) {
        throw NoTransmitLine(QStringLiteral("%1 is a kernel I2C adapter, which has no transmit line for the "
                                            "trigger block: give a serial port for it (--trigger-port, or "
                                            "[Trigger] Port in the settings)")
                                 .arg(connection_.label));
    } else {
        control_.SendBlock(block);
    }
    reply.sent = QDateTime::currentDateTime();
}

bool Engine::probe(const QString& a0, bool shown)
{
    ConnectionState& c = connection_;
    const bool open = master_ == &i2c_ ? control_.port().isOpen() : kernel_->isOpen();
    if (!open || !master_->usable()) {
        if (shown)
            c.presence = ConnectionState::Presence::Unknown;
        return false;
    }
    const QString address = bus::writeAddress(a0);
    const bool answered = master_->probe(address);
    if (shown) {
        c.presence = answered ? ConnectionState::Presence::Answers : ConnectionState::Presence::NoAnswer;
        c.probedAddress = address7(address);
        c.probedA0 = a0;
    }
    return answered;
}

void Engine::notice()
{
    const bool open = master_ == &i2c_ ? control_.port().isOpen() : kernel_->isOpen();
    if (connection_.portState == ConnectionState::PortState::Open && !open) {
        connection_.portState = ConnectionState::PortState::Gone;
        connection_.presence = ConnectionState::Presence::Unknown;
        // A closed port would take every later request without a word and read all ones: each command
        // refuses instead, naming the port, until one is opened again.
        master_->setUnusable(connection_.refusalText());
    }
}

void Engine::release()
{
    serial::SerialPort& port = control_.port();
    if (master_ != &i2c_ || !port.isOpen())
        return;
    try {
        // SCL first: with SDA low that is a STOP, the end of whatever the chip thought was going on.
        port.setDtr(false);
        port.setRts(false);
        port.flush();
    } catch (const serial::PortError&) {
        // The port that just failed fails again; the failure is already on its way to the user.
    }
}

QString Engine::portLabel(int port) const
{
    const QString name = QStringLiteral("COM%1").arg(port);
    if (!catalog_)
        return port == 1 ? name + QStringLiteral(" (simulated board)") : name;
    const QString path = catalog_->devicePath(port);
    return path.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, path);
}

} // namespace engine
