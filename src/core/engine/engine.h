// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/i2c_master.h"
#include "bus/interrupter.h"
#include "engine/command.h"
#include "i2cdev/kernel_i2c_bus.h"
#include "serial/bus_trace.h"
#include "serial/port_catalog.h"
#include "serial/port_control.h"
#include "serial/posix_serial_port.h"
#include "serial/tracing_port.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace engine {

// The bus engine: it owns the transport (the port object, the bus trace, the I2C masters, the interrupter)
// and runs the bus work one command at a time, keeping the connection's state as it opens ports and probes.
// A port whose device is a kernel I2C adapter (/dev/i2c-N) carries the transactions through the kernel's
// driver; every other port is driven at its lines by the I2C master here, with the same requests whatever
// the port (modem lines, FTDI pins, the simulated board).
// It is used from one thread at a time: the command line calls it directly, the window through BusThread,
// on a thread of its own. Only interrupter(), transactions() and the observers may be used from elsewhere.
class Engine final : public CommandSink {
public:
    // device is the port object the bus talks through: a POSIX port or the simulated board. catalog is the
    // COMn mapping a POSIX port resolves through (null for the simulated board). With a trace path every
    // line request is also recorded there; a trace that cannot be created throws serial::PortError.
    Engine(std::unique_ptr<serial::SerialPort> device, const serial::PortCatalog* catalog,
           const QByteArray& tracePath = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Runs the commands in order until one fails; the failure comes back as a value. After a failure the
    // bus is left idle with both lines released where the port still works.
    Outcome run(const Batch& batch);
    // Runs one command at once and throws its failure as the bus layer throws it (the command line's way).
    Reply perform(const Command& command);
    void send(Command command) override { perform(command); }

    // Asked to stop (a close, a signal), the bus work ends at the next transaction boundary. Safe from any
    // thread and from a signal handler.
    bus::Interrupter& interrupter() { return interrupter_; }
    // Observers hear of every transaction, on the thread that runs the engine. Safe from any thread: once
    // removeObserver has returned, the observer is called no more.
    void addObserver(bus::BusObserver* observer);
    void removeObserver(bus::BusObserver* observer);
    // Transactions carried so far (line checks and probes included); read from any thread.
    quint64 transactions() const { return hub_.count.load(std::memory_order_relaxed); }

    const ConnectionState& connection() const { return connection_; }
    serial::SerialPort& device() { return *device_; }
    const serial::PortCatalog* catalog() const { return catalog_; }
    // The master the open port's transactions go through.
    bus::Master& master() { return *master_; }
    // Where the trigger block goes instead of the bus port's transmit line: a serial device ("" for the
    // bus port's own). Opened at the first block, at the bus port's bit rate.
    void setTriggerPort(const QString& device, const QString& lockDir = serial::UucpLock::defaultDir());
    // Why the bus trace is incomplete, naming the file; nullopt while it is whole or there is none.
    std::optional<QString> traceFailure() const;

private:
    // Passes every transaction on to the observers registered from other threads.
    struct Hub : bus::BusObserver {
        void starting(const bus::Transaction& about) override;
        void done(const bus::Transaction& transaction) override;
        std::mutex mutex;
        std::vector<bus::BusObserver*> observers;
        std::atomic<quint64> count{0};
    };

    void open(const OpenPort& command, Reply& reply);
    // The open port as a kernel I2C adapter; false when its device is none.
    bool openAdapter(const OpenPort& command, Reply& reply);
    void sendBlock(const QByteArray& block, Reply& reply);
    void watch(bus::Master& master);
    bool probe(const QString& a0, bool shown);
    // A port that closed itself since (a pulled adapter) shows as gone.
    void notice();
    // Both lines released after a failure, as every transaction would have left them.
    void release();
    QString portLabel(int port) const;

    const serial::PortCatalog* catalog_;
    std::unique_ptr<serial::SerialPort> device_;
    std::unique_ptr<serial::BusTrace> busTrace_;
    std::unique_ptr<serial::TracingPort> trace_;
    serial::PortControl control_;
    bus::I2cMaster i2c_;
    // Kernel I2C adapters, when the catalog can name one.
    std::unique_ptr<i2cdev::KernelI2cBus> kernel_;
    std::unique_ptr<i2cdev::TransactionTrace> kernelTrace_;
    bus::Master* master_ = &i2c_;
    QString triggerDevice_;
    QString triggerLockDir_;
    std::unique_ptr<serial::PortCatalog> triggerCatalog_;
    std::unique_ptr<serial::PosixSerialPort> triggerPort_;
    qint32 rate_ = 9600;
    bus::Interrupter interrupter_;
    Hub hub_;
    ConnectionState connection_;
};

} // namespace engine
