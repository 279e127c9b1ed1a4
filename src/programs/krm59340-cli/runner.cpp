// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "runner.h"

#include "app/bench.h"
#include "bench_setup.h"
#include "bus/device.h"
#include "bus/interrupter.h"
#include "files/names.h"
#include "model/channel_file.h"
#include "model/numbers.h"
#include "model/otp_burn.h"
#include "port_list.h"
#include "serial/port_catalog.h"
#include "serial/serial_port.h"
#include "stop_signals.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>

namespace cli {

namespace {

const char* const kTriggerBlock = "01 00 00 00";

// Messages are one line on stderr: the core's texts for message boxes have paragraphs and full stops.
QString oneLine(QString text)
{
    static const QRegularExpression breaks(QStringLiteral("\\s*\\n+\\s*"));
    text.replace(breaks, QStringLiteral(" "));
    text = text.trimmed();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

QList<int> allChannels()
{
    QList<int> all;
    for (int n = 1; n <= model::kChannels; ++n)
        all << n;
    return all;
}

QString addressText(int address7)
{
    return QStringLiteral("0x%1").arg(address7, 2, 16, QLatin1Char('0'));
}

int addressOf(const QString& a0)
{
    return a0 == QLatin1String("1") ? 0x75 : 0x74;
}

} // namespace

Runner::Runner(app::Bench& bench, const Request& request, const QString& lockDir, Progress& progress)
    : bench_(bench), request_(&request), lockDir_(lockDir), progress_(progress), log_(bench.engine())
{
}

Outcome Runner::run()
{
    applySettings();
    if (request_->command == Command::Ports)
        return Outcome(portsResult());
    checkInput();
    return guarded([this] {
        open();
        return execute();
    });
}

void Runner::start()
{
    applySettings();
    guarded([this] {
        open();
        return Outcome();
    });
}

Outcome Runner::next(const Request& command)
{
    request_ = &command;
    log_.clear();
    where_.clear();
    if (command.command == Command::Ports)
        return Outcome(portsResult());
    checkInput();
    return guarded([this] { return execute(); });
}

bool Runner::portGone() const
{
    return gone_ || bench_.engine().connection().portState == engine::ConnectionState::PortState::Gone;
}

template <typename Work> Outcome Runner::guarded(Work work)
{
    try {
        return work();
    } catch (const bus::Interrupted&) {
        throw Stopped(QStringLiteral("during %1: %2").arg(request_->commandName, log_.summary(false)));
    } catch (const serial::PortError& e) {
        gone_ = gone_ || e.kind() == serial::PortFailure::Gone;
        const QString gone = gone_ ? QStringLiteral(": the adapter is gone") : QString();
        throw Failure(2, failureText(oneLine(e.text()) + gone, true), log_.dacWritten());
    } catch (const bus::BusUnusable& e) {
        throw Failure(2, failureText(oneLine(e.text()), false), log_.dacWritten());
    } catch (const model::ChannelFileError& e) {
        // A file that changed between its check and its use.
        throw Failure(1, failureText(oneLine(e.text()), false), log_.dacWritten());
    } catch (const engine::NoTransmitLine& e) {
        throw Failure(2, oneLine(e.text()) + QStringLiteral("; nothing was sent"));
    }
}

QJsonObject Runner::portsResult() const
{
    QJsonObject result{{QStringLiteral("command"), request_->commandName}};
    result.insert(QStringLiteral("ports"), listPorts(bench_.catalog(), lockDir_, bench_.link().PortNumber));
    return result;
}

void Runner::applySettings()
{
    model::ChannelModel& model = bench_.channels();
    serial::SerialLink& link = bench_.link();
    for (const QString& warning : bench_.settings().load_settings(model, link))
        progress_.warning(oneLine(warning));
    if (request_->simulate)
        link.PortNumber = qint16(request_->comPort != 0 ? request_->comPort : 1);
    else if (request_->comPort != 0)
        link.PortNumber = qint16(request_->comPort);
    else if (!request_->device.isEmpty() && bench_.catalog())
        link.PortNumber = qint16(app::Bench::portOfDevice(*bench_.catalog(), request_->device));
    if (request_->rate)
        link.BitRate = *request_->rate;
    if (request_->a0) {
        model.a0_state = *request_->a0;
        model.vref_high_cur = model.vref_high.at(model.bank());
    }
    if (request_->vref)
        model.vref_high_cur = *request_->vref;
    const QString trigger =
        request_->triggerPort.isEmpty() ? bench_.settings().triggerPort() : request_->triggerPort;
    bench_.engine().setTriggerPort(trigger, lockDir_);
}

void Runner::checkInput()
{
    model::ChannelModel& model = bench_.channels();
    switch (request_->command) {
    case Command::Set:
        if (request_->volts) {
            const double reference = model.vref_high_cur;
            if (!(reference > 0) || !std::isfinite(reference))
                throw UsageError(
                    QStringLiteral("the reference voltage for A0 = %1 is %2 V, which converts no "
                                   "voltage: give --vref, or set a code with --code")
                        .arg(model.a0_state, model::number_text(reference)));
            const double volts = *request_->volts;
            for (int n : targets())
                model.set_channel_voltage(n, volts);
            if (volts > reference || volts < 0) {
                const int first = targets().constFirst();
                progress_.warning(
                    QStringLiteral("%1 V is outside 0..%2 V, the reference in use: %3 set to %4 V "
                                   "instead")
                        .arg(model::number_text(volts), model::number_text(reference),
                             request_->channel == 0 ? QStringLiteral("every channel")
                                                    : QStringLiteral("channel %1").arg(first),
                             model::number_text(model.volt.at(first))));
            }
        }
        break;
    case Command::Load:
    case Command::Batch:
        for (const QByteArray& file : request_->files)
            checkChannelFile(file);
        break;
    default:
        break;
    }
}

void Runner::checkChannelFile(const QByteArray& path) const
{
    // Read through the very code that applies it, into a model that sends nowhere. A file that would stop
    // half-way is refused before anything reaches the chip.
    model::ChannelModel scratch;
    try {
        for (const QString& warning : model::apply_channel_file(path, scratch))
            progress_.warning(oneLine(warning));
    } catch (const model::ChannelFileError& e) {
        throw UsageError(oneLine(e.text()) + QStringLiteral("; nothing was sent"));
    }
}

void Runner::open()
{
    serial::SerialLink& link = bench_.link();
    link.EnumerateComPorts();
    const int port = link.PortNumber;
    if (port < 1 || port > serial::kLastPort)
        throw Failure(
            2, QStringLiteral("no port chosen: give --port, or choose one in the window's COM Setting"));
    if (!link.PortAvailable.at(port))
        throw Failure(
            2, request_->simulate
                   ? QStringLiteral("COM%1 maps to nothing: the simulated board is COM1").arg(port)
                   : QStringLiteral("COM%1 maps to no device (krm59340-cli ports lists them)").arg(port));
    engine::Engine& bus = bench_.engine();
    const engine::Reply opened =
        bus.perform(engine::OpenPort{link.PortNumber, link.BitRate, bench_.channels().a0_state});
    if (opened.alreadyOpen)
        link.noteAlreadyOpen(link.PortNumber);

    const engine::ConnectionState& connection = bus.connection();
    switch (connection.portState) {
    case engine::ConnectionState::PortState::Open:
        break;
    case engine::ConnectionState::PortState::Gone:
        throw Failure(2, QStringLiteral("%1: the adapter is gone").arg(connection.label));
    default:
        throw Failure(2, oneLine(connection.portText()));
    }
    if (request_->rate &&
        !bus.device().lineSettings().startsWith(QString::number(*request_->rate) + QLatin1Char(',')))
        throw Failure(
            2, QStringLiteral("%1 refused the bit rate %2").arg(connection.label).arg(*request_->rate));
    if (connection.lines.health == bus::LineHealth::NoModemLines)
        throw Failure(2, QStringLiteral("%1 cannot set its modem lines: %2. Nothing was sent to the chip")
                             .arg(connection.label, connection.lines.refusal));
    if (!connection.lines.usable())
        throw Failure(2, QStringLiteral("%1 failed its line check: %2 Nothing was sent to the chip")
                             .arg(connection.label, connection.linesText()));
}

void Runner::requireChip() const
{
    const engine::ConnectionState& connection = bench_.engine().connection();
    if (connection.presence != engine::ConnectionState::Presence::Answers)
        throw Failure(3, QStringLiteral("no chip answers at %1 (A0 = %2) on %3: check power, cable and A0")
                             .arg(addressText(addressOf(bench_.channels().a0_state)),
                                  bench_.channels().a0_state, connection.label));
}

Outcome Runner::execute()
{
    if (request_->command == Command::Probe)
        return probe();
    requireChip();
    switch (request_->command) {
    case Command::Read:
        return read();
    case Command::Set:
        return set();
    case Command::Load:
        return load();
    case Command::Save:
        return save();
    case Command::Reset:
        return reset();
    case Command::Otp:
        return otp();
    case Command::Trigger:
        return trigger();
    case Command::Batch:
        return batch();
    case Command::Wait:
        if (!StopSignals::sleepUnlessStopped(request_->delay, bench_.engine().interrupter()))
            throw bus::Interrupted();
        return Outcome(QJsonObject{{QStringLiteral("command"), request_->commandName},
                                   {QStringLiteral("seconds"), request_->delay}});
    case Command::Ports:
    case Command::Probe:
    case Command::Session:
    case Command::Quit:
        break;
    }
    return Outcome(QJsonObject{{QStringLiteral("command"), request_->commandName}});
}

Outcome Runner::probe()
{
    const QString inUse = bench_.channels().a0_state;
    engine::Engine& bus = bench_.engine();
    QJsonArray chips;
    bool answersInUse = false;
    for (const QString& a0 : {QStringLiteral("0"), QStringLiteral("1")}) {
        const bool used = a0 == inUse;
        // The address in use was probed when the port opened.
        const bool answers = used ? bus.connection().presence == engine::ConnectionState::Presence::Answers
                                  : bus.perform(engine::Probe{a0, false}).acknowledged;
        answersInUse = answersInUse || (used && answers);
        chips.append(QJsonObject{{QStringLiteral("address"), addressText(addressOf(a0))},
                                 {QStringLiteral("a0"), a0.toInt()},
                                 {QStringLiteral("answers"), answers},
                                 {QStringLiteral("in_use"), used}});
    }
    QJsonObject result = header();
    result.insert(QStringLiteral("lines"), bus.connection().lines.finding());
    result.insert(QStringLiteral("chips"), chips);
    Outcome outcome{result};
    if (!answersInUse) {
        try {
            requireChip();
        } catch (const Failure& e) {
            outcome.status = e.status();
            outcome.message = e.text();
        }
    }
    return outcome;
}

double Runner::readChip()
{
    model::ChannelModel& model = bench_.channels();
    const engine::Outcome outcome = bench_.engine().run(model.read_all_channels_batch());
    model.apply_read(outcome.replies);
    if (outcome.failure)
        outcome.failure->raise();
    return outcome.replies.back().word;
}

Outcome Runner::read()
{
    if (!request_->channels.isEmpty()) {
        model::ChannelModel& model = bench_.channels();
        for (int n : request_->channels)
            model.set_code(n, bench_.engine().perform(model.read_channel_command(n)).word);
        QJsonObject result = header();
        result.insert(QStringLiteral("channels"), channelRows(request_->channels, Codes::Read));
        return Outcome(result);
    }
    const double status = readChip();
    QJsonObject result = header();
    result.insert(QStringLiteral("channels"), channelRows(allChannels(), Codes::Read));
    result.insert(QStringLiteral("bank_status"), status);
    return Outcome(result);
}

Outcome Runner::set()
{
    model::ChannelModel& model = bench_.channels();
    for (int n : targets()) {
        if (request_->code)
            model.set_code(n, *request_->code);
        model.cur_chan = n;
        model.write_current_channel();
    }
    QJsonObject result = header();
    QJsonArray rows = channelRows(targets(), Codes::Written);
    if (request_->verify) {
        verify();
        result.insert(QStringLiteral("verified"), true);
    }
    if (request_->volts) {
        for (qsizetype i = 0; i < rows.size(); ++i) {
            QJsonObject row = rows.at(i).toObject();
            row.insert(QStringLiteral("requested_volts"), *request_->volts);
            rows.replace(i, row);
        }
    }
    result.insert(QStringLiteral("channels"), rows);
    return Outcome(result);
}

// Each written channel read back: a register that differs is a write the chip did not take (a glitch on the
// bus that still got its acknowledges).
void Runner::verify()
{
    model::ChannelModel& model = bench_.channels();
    QStringList differ;
    for (int n : targets()) {
        const int written = model::register_code(model.code.at(n));
        const int held = int(bench_.engine().perform(model.read_channel_command(n)).word);
        if (held != written)
            differ << QStringLiteral("channel %1 holds %2, not %3").arg(n).arg(held).arg(written);
    }
    if (!differ.isEmpty())
        throw Failure(2,
                      QStringLiteral("%1: the read-back differs: %2; the write did not take")
                          .arg(bench_.engine().connection().label, differ.join(QStringLiteral(", "))),
                      log_.dacWritten());
}

Outcome Runner::load()
{
    // Its warnings were given when it was checked.
    model::apply_channel_file(request_->files.constFirst(), bench_.channels());
    QJsonObject result = header();
    result.insert(QStringLiteral("file"), files::shown(request_->files.constFirst()));
    result.insert(QStringLiteral("channels"), channelRows(allChannels(), Codes::Written));
    return Outcome(result);
}

Outcome Runner::save()
{
    const double status = readChip();
    const QByteArray& file = request_->files.constFirst();
    try {
        model::save_channel_file(file, bench_.channels());
    } catch (const model::ChannelFileError& e) {
        throw Failure(1, oneLine(e.text()));
    }
    QJsonObject result = header();
    result.insert(QStringLiteral("file"), files::shown(file));
    result.insert(QStringLiteral("channels"), channelRows(allChannels(), Codes::Read));
    result.insert(QStringLiteral("bank_status"), status);
    return Outcome(result);
}

Outcome Runner::reset()
{
    bench_.engine().perform(engine::ResetChip{});
    return read();
}

Outcome Runner::otp()
{
    model::ChannelModel& model = bench_.channels();
    engine::Engine& bus = bench_.engine();
    // The codes to burn are the ones the chip holds now; all of them, since the reset reloads every
    // register and a script must learn which outputs moved.
    for (int n = 1; n <= model::kChannels; ++n)
        model.set_code(n, bus.perform(model.read_channel_command(n)).word);
    const model::Codes before = model.code;
    const QJsonArray burnt = channelRows(targets(), Codes::Written);
    const model::OtpBurn burn(model, request_->channel);
    bus.interrupter().check();
    const engine::Outcome outcome = bus.run(burn.batch());
    if (outcome.failure) {
        if (outcome.failure->kind != engine::Failure::Kind::Port)
            outcome.failure->raise();
        const QString gone = outcome.failure->portFailure == serial::PortFailure::Gone
                                 ? QStringLiteral(": the adapter is gone")
                                 : QString();
        throw Failure(2, failureText(oneLine(burn.verdict(outcome)) + QStringLiteral("; ") +
                                         oneLine(outcome.failure->text()) + gone,
                                     true));
    }
    {
        // What the chip holds after the reset, read back: a stop asked for during the burn leaves the script
        // knowing what its outputs are.
        const bus::Interrupter::Uninterruptible shield(bus.interrupter());
        for (int n = 1; n <= model::kChannels; ++n)
            model.set_code(n, bus.perform(model.read_channel_command(n)).word);
    }
    QJsonArray changed;
    for (int n : model::changedChannels(before, model.code))
        changed.append(n);
    QJsonObject result = header();
    result.insert(QStringLiteral("burnt"), burnt);
    result.insert(QStringLiteral("bank_status_before"), outcome.replies.front().word);
    result.insert(QStringLiteral("bank_status"), *burn.statusAfter(outcome));
    result.insert(QStringLiteral("channels"), channelRows(allChannels(), Codes::Read));
    result.insert(QStringLiteral("changed"), changed);
    Outcome done(result);
    if (!burn.took(outcome)) {
        const auto name = [](int n) { return QString::number(n); };
        done.status = 4;
        done.message = oneLine(burn.verdict(outcome)) + QStringLiteral("; after the reset the chip holds ") +
                       model::holdsText(model.code, name);
    }
    return done;
}

Outcome Runner::trigger()
{
    bench_.engine().interrupter().check();
    sendTrigger();
    QJsonObject result = header();
    result.insert(QStringLiteral("sent"), QString::fromLatin1(kTriggerBlock));
    return Outcome(result);
}

QDateTime Runner::sendTrigger()
{
    serial::SerialLink& link = bench_.link();
    link.TxBuffer[1] = 1;
    return bench_.engine().perform(engine::SendBlock{link.TxBlock(1)}).sent;
}

Outcome Runner::batch()
{
    const bool endless = request_->cycles == 0;
    int applied = 0;
    Outcome outcome;
    bool stopped = false;
    for (int cycle = 1; !stopped && (endless || cycle <= request_->cycles); ++cycle) {
        for (qsizetype i = 0; i < request_->files.size(); ++i) {
            const QString file = files::shown(request_->files.at(i));
            // The moment the trigger block left the port, for lining up with a meter's log; without a
            // block, when the file was applied.
            QDateTime sent;
            {
                bench_.engine().interrupter().check();
                // A stop asked for while a file is applied comes after it and its trigger block.
                const bus::Interrupter::Uninterruptible shield(bench_.engine().interrupter());
                log_.clear();
                where_ = QStringLiteral(" in %1 (cycle %2)").arg(file).arg(cycle);
                // Its warnings were given when it was checked.
                model::apply_channel_file(request_->files.at(i), bench_.channels());
                if (!noTriggerLine_) {
                    try {
                        sent = sendTrigger();
                    } catch (const engine::NoTransmitLine& e) {
                        // The files are what counts; the block is said to be missing once.
                        noTriggerLine_ = true;
                        progress_.warning(oneLine(e.text()) + QStringLiteral(": the batch runs without it"));
                    }
                }
                where_.clear();
            }
            const QDateTime now = sent.isValid() ? sent : QDateTime::currentDateTime();
            const QJsonObject entry{{QStringLiteral("time"),
                                     now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs)},
                                    {QStringLiteral("cycle"), cycle},
                                    {QStringLiteral("file"), file}};
            ++applied;
            progress_.applied(entry);
            const bool last = !endless && cycle == request_->cycles && i == request_->files.size() - 1;
            const bus::Interrupter& interrupter = bench_.engine().interrupter();
            if (interrupter.requested() ||
                (!last && !StopSignals::sleepUnlessStopped(request_->delay, interrupter))) {
                stopped = true;
                outcome.stopped = true;
                outcome.message = QStringLiteral("after %1 (cycle %2)").arg(file).arg(cycle);
                break;
            }
            if (last)
                break;
        }
    }
    outcome.result = header();
    outcome.result.insert(QStringLiteral("end"),
                          stopped ? QStringLiteral("stopped") : QStringLiteral("done"));
    outcome.result.insert(QStringLiteral("files_applied"), applied);
    if (stopped)
        outcome.result.insert(QStringLiteral("after"), outcome.message);
    return outcome;
}

QJsonObject Runner::header() const
{
    const model::ChannelModel& model = bench_.channels();
    const int port = bench_.link().PortNumber;
    const QString device = bench_.catalog() ? bench_.catalog()->devicePath(port) : QString();
    return {{QStringLiteral("command"), request_->commandName},
            {QStringLiteral("port"), QStringLiteral("COM%1").arg(port)},
            {QStringLiteral("device"), device.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(device)},
            {QStringLiteral("simulated"), request_->simulate},
            {QStringLiteral("a0"), model.bank()},
            {QStringLiteral("address"), addressText(addressOf(model.a0_state))},
            {QStringLiteral("reference"), model.vref_high_cur}};
}

QJsonArray Runner::channelRows(const QList<int>& channels, Codes codes)
{
    model::ChannelModel& model = bench_.channels();
    QJsonArray rows;
    for (int n : channels) {
        // What the write put into the register: its ten bits (a file's code may be larger).
        const int code =
            codes == Codes::Written ? model::register_code(model.code.at(n)) : int(model.code.at(n));
        // Without a reference above 0 a code stands for no voltage at all, which 0 V would claim.
        const double reference = model.vref_high_cur;
        const double volts = model.shown_voltage(code);
        const bool converts = reference > 0 && std::isfinite(reference) && std::isfinite(volts);
        rows.append(QJsonObject{{QStringLiteral("channel"), n},
                                {QStringLiteral("code"), code},
                                {QStringLiteral("hex"), model::code_text(code)},
                                {QStringLiteral("volts"), converts ? QJsonValue(volts) : QJsonValue()}});
    }
    return rows;
}

QList<int> Runner::targets() const
{
    return request_->channel != 0 ? QList<int>{request_->channel} : allChannels();
}

QString Runner::failureText(const QString& what, bool cutOff) const
{
    return QStringLiteral("%1: %2%3; %4")
        .arg(bench_.engine().connection().label, what, where_, log_.summary(cutOff));
}

} // namespace cli
