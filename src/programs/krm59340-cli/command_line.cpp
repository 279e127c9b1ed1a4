// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "command_line.h"

#include "files/names.h"
#include "model/channel_model.h"
#include "model/numbers.h"
#include "serial/port_catalog.h"

#include <QCommandLineParser>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace cli {

namespace {

constexpr qint32 kMaxRate = 4000000;
constexpr int kHelpColumn = 30;
constexpr int kHelpWidth = 79;

struct CommandHelp {
    Command command;
    const char* name;
    std::vector<const char*> usage; // after "krm59340-cli [options] "
    const char* summary;
    const char* details;
    std::vector<std::pair<const char*, const char*>> arguments;
};

const std::vector<CommandHelp>& commands()
{
    static const std::vector<CommandHelp> table = {
        {Command::Ports,
         "ports",
         {"ports"},
         "List the COM names: device, adapter, and whether each is free, in use (and by whom) or not "
         "yours to open.",
         "Opens nothing: the devices come from the system's device list and the settings' [Ports] "
         "section. A port is in use when another program holds its lock file or has it open.",
         {}},
        {Command::Probe,
         "probe",
         {"probe"},
         "Check the bus lines and look for a chip at 0x74 and at 0x75.",
         "Opens the port, checks its lines and reads one acknowledge at each address. Prints what it "
         "found, then ends with status 3 when no chip answers at the address in use (--a0).",
         {}},
        {Command::Read,
         "read",
         {"read", "read CH..."},
         "Read the 24 channel registers and the bank status, or only the channels given: code, hex and "
         "voltage.",
         "25 reads, or one per channel given (a pointer write and a word read each); nothing is written.",
         {{"CH...", "channels, 1..24, read in the order given (default: all, and the bank status)"}}},
        {Command::Set,
         "set",
         {"set CH VOLTS [--verify]", "set CH --code N [--verify]", "set all VOLTS [--verify]"},
         "Set a channel, or all of them, to a voltage or to a 10-bit code.",
         "One DAC write per channel. A voltage is converted with the reference in use as the window "
         "converts it; one outside 0..reference is clamped to it, with a warning.",
         {{"CH", "a channel, 1..24, or all"},
          {"VOLTS", "volts, 0..the reference (--vref)"},
          {"--code N", "the code itself: 0..1023, or 0x0..0x3FF"},
          {"--verify", "read the channels back: status 2, naming them, for any whose code differs"}}},
        {Command::Load,
         "load",
         {"load FILE"},
         "Write the channels of a channel file to the chip.",
         "One DAC write per channel with the file's codes; the file's reference voltage converts them. "
         "The whole file is read first: a missing or malformed one writes nothing.",
         {{"FILE", "a channel file, as the window saves them"}}},
        {Command::Save,
         "save",
         {"save FILE"},
         "Read the chip and save its channels to a channel file.",
         "25 reads, then the file in the window's format with the reference in use; the file is "
         "replaced atomically.",
         {{"FILE", "the channel file to write"}}},
        {Command::Reset,
         "reset",
         {"reset"},
         "Reset the chip (the I2C general call), then read it.",
         "The general call resets every chip on the bus, whatever its A0; then the 25 reads of read.",
         {}},
        {Command::Otp,
         "otp",
         {"otp CH --yes", "otp all --yes"},
         "Burn a channel's current code, or every channel's, into the chip's OTP memory.",
         "OTP memory is written once: without --yes nothing happens. Reads the 24 registers, burns the "
         "channel's code (or all of them) between two bank status reads, resets the chip with the general "
         "call (every chip on the bus) and reads all 24 back, naming the channels that changed. A bank "
         "status that did not move on is a burn that did not take: exit status 4. A Ctrl-C meanwhile waits "
         "for the burn, its reset, the bank status and the read-back to finish.",
         {{"CH", "a channel, 1..24, or all"}, {"--yes", "burn it: OTP memory cannot be written again"}}},
        {Command::Trigger,
         "trigger",
         {"trigger"},
         "Write the trigger block 01 00 00 00 to the transmit line.",
         "The block a batch writes after each file, for an instrument that starts a measurement on it.",
         {}},
        {Command::Batch,
         "batch",
         {"batch FILE... [--delay S] [--cycles N]"},
         "Apply channel files in order, each followed by the trigger block.",
         "Prints one line per applied file as it is applied: time, cycle and file; with --json one JSON "
         "object a line, and a last one for the end (done, stopped or failed, with the channels "
         "written). Ctrl-C ends the run once the file being applied and its trigger block are done. "
         "Every file is read first: a malformed one stops the run before it starts.",
         {{"FILE...", "channel files, applied in the order given"},
          {"--delay S", "time to wait after each file's trigger block: seconds, or 500ms, 20us (default 0)"},
          {"--cycles N", "times to go through the files (default 1; 0: until Ctrl-C)"}}},
        {Command::Session,
         "session",
         {"session"},
         "Run the commands read from stdin, one a line, on a port opened once: one answer line each.",
         "The port is opened, checked and probed once, then each line runs as the command with its words "
         "would (set 3 1.25, read 3, load FILE, otp 3 --yes, trigger ...), or waits or ends the session. "
         "Each answer is one line, written at once: a JSON object with --json ({\"ok\":true,...} or "
         "{\"ok\":false,\"error\":\"...\",\"status\":2}), aligned text otherwise. Blank lines and # "
         "comments get none. A failed command ends the session only when the port is gone (status 2); EOF "
         "or quit ends it with status 0, a stop signal between two transactions.",
         {{"wait S", "a line that waits: seconds, or 500ms, 20us"},
          {"quit", "a line that ends the session"}}},
    };
    return table;
}

const CommandHelp* findCommand(const QString& name)
{
    for (const CommandHelp& help : commands())
        if (name == QLatin1String(help.name))
            return &help;
    return nullptr;
}

// Words wrapped to the help's width, every line after the first indented to column.
QString wrapped(const QString& text, int column)
{
    QString out;
    int at = column;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (at > column && at + 1 + word.size() > kHelpWidth) {
            out += QLatin1Char('\n') + QString(column, QLatin1Char(' '));
            at = column;
        } else if (at > column) {
            out += QLatin1Char(' ');
            ++at;
        }
        out += word;
        at += int(word.size());
    }
    return out;
}

// "  left" padded to the description column (or on a line of its own when longer), then the description.
QString helpEntry(const QString& left, const QString& description)
{
    QString line = QStringLiteral("  ") + left;
    if (line.size() >= kHelpColumn)
        line += QLatin1Char('\n') + QString(kHelpColumn, QLatin1Char(' '));
    else
        line = line.leftJustified(kHelpColumn);
    return line + wrapped(description, kHelpColumn) + QLatin1Char('\n');
}

QString programName()
{
    return QStringLiteral("krm59340-cli");
}

QString mainHelp(const QList<QCommandLineOption>& options)
{
    QString text = QStringLiteral("Usage: %1 [options] COMMAND [ARGUMENTS]\n").arg(programName());
    text +=
        wrapped(QStringLiteral("Drives a KRM59340 reference-voltage chip from scripts, over the modem lines "
                               "of a serial port: the bus, the settings and the channel files of the "
                               "krm59340 window, without a window."),
                0) +
        QStringLiteral("\n\nOptions:\n");
    for (const QCommandLineOption& option : options) {
        QStringList names;
        for (const QString& name : option.names())
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        QString left = names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty())
            left += QStringLiteral(" <%1>").arg(option.valueName());
        text += helpEntry(left, option.description());
    }
    text += QStringLiteral("\nCommands (COMMAND --help tells more):\n");
    for (const CommandHelp& help : commands()) {
        text += helpEntry(QString::fromLatin1(help.usage.front()), QString::fromLatin1(help.summary));
        for (std::size_t i = 1; i < help.usage.size(); ++i)
            text += QStringLiteral("  %1\n").arg(QString::fromLatin1(help.usage[i]));
    }
    text +=
        QStringLiteral("\n") +
        wrapped(QStringLiteral("Every command but ports opens the port, checks its lines and probes for the "
                               "chip first; a session does it once for all its commands. Options may also "
                               "follow the command (read 3 --json). Exit status: 0 done; 1 bad usage or "
                               "input; 2 port or bus "
                               "failure (no port, busy, line check failed, adapter gone); 3 no chip "
                               "answered at the address in use; 4 an OTP burn that did not take; 128 + the "
                               "signal's number when "
                               "stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP."),
                0) +
        QLatin1Char('\n');
    return text;
}

// Splits the words after the program's options into the program's own long options among them (with their
// values) and the rest, the command first. "--" ends the search.
std::pair<QStringList, QStringList> ownOptionsAfterCommand(const QStringList& words,
                                                           const QList<QCommandLineOption>& options)
{
    QStringList own, rest;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words[i];
        if (i == 0 || !word.startsWith(QLatin1String("--")) || word == QLatin1String("--help")) {
            rest << word;
            if (word == QLatin1String("--") && i > 0) {
                rest += words.mid(i + 1);
                break;
            }
            continue;
        }
        const QString name = word.mid(2).section(QLatin1Char('='), 0, 0);
        const auto option =
            std::find_if(options.begin(), options.end(),
                         [&name](const QCommandLineOption& o) { return o.names().contains(name); });
        if (option == options.end()) {
            rest << word;
            continue;
        }
        own << word;
        if (!option->valueName().isEmpty() && !word.contains(QLatin1Char('=')) && i + 1 < words.size())
            own << words[++i];
    }
    return {own, rest};
}

QString commandHelp(const CommandHelp& help)
{
    QString text;
    for (std::size_t i = 0; i < help.usage.size(); ++i)
        text += QStringLiteral("%1 %2 [options] %3\n")
                    .arg(i == 0 ? QStringLiteral("Usage:") : QStringLiteral("      "), programName(),
                         QString::fromLatin1(help.usage[i]));
    text +=
        wrapped(QString::fromLatin1(help.summary) + QLatin1Char(' ') + QString::fromLatin1(help.details), 0) +
        QLatin1Char('\n');
    if (!help.arguments.empty()) {
        text += QStringLiteral("\nArguments:\n");
        for (const auto& [name, description] : help.arguments)
            text += helpEntry(QString::fromLatin1(name), QString::fromLatin1(description));
    }
    text += QStringLiteral("\nThe options before the command are those of %1 --help.\n").arg(programName());
    return text;
}

// A decimal number and nothing else; nullopt for anything else, overflow included.
std::optional<double> strictNumber(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    const double value = model::leading_number(text);
    return std::isfinite(value) ? std::optional(value) : std::nullopt;
}

// A whole number in decimal (or hexadecimal after 0x, when allowed) and nothing else.
std::optional<qint64> strictInteger(const QString& text, bool hexAllowed = false)
{
    static const QRegularExpression decimal(QStringLiteral("^\\+?\\d{1,12}$"));
    static const QRegularExpression hex(QStringLiteral("^0[xX][0-9a-fA-F]{1,8}$"));
    if (decimal.match(text).hasMatch())
        return text.toLongLong();
    if (hexAllowed && hex.match(text).hasMatch())
        return text.mid(2).toLongLong(nullptr, 16);
    return std::nullopt;
}

std::chrono::nanoseconds parseLatency(const QString& text)
{
    const auto latency = model::parse_latency(text);
    if (!latency)
        throw UsageError(
            QStringLiteral("--line-latency: '%1' is not a duration of at most 1 s (for example 1ms, "
                           "500us, 0.001 or 0)")
                .arg(text));
    return *latency;
}

// Seconds for a wait: a billion of them is forever for a bench.
double parseSeconds(const QString& what, const QString& text)
{
    const auto duration = model::parse_duration(text, std::chrono::seconds(1000000000));
    if (!duration)
        throw UsageError(QStringLiteral("%1 %2 is not a duration (seconds, or for example 500ms or 20us)")
                             .arg(what, text));
    return double(duration->count()) / 1e9;
}

int parseChannel(const QString& text, bool allAllowed)
{
    if (allAllowed && text == QLatin1String("all"))
        return 0;
    const auto n = strictInteger(text);
    if (!n)
        throw UsageError(QStringLiteral("channel '%1' is not a channel number (1..24%2)")
                             .arg(text, allAllowed ? QStringLiteral(" or all") : QString()));
    if (*n < 1 || *n > model::kChannels)
        throw UsageError(QStringLiteral("channel %1 is outside 1..24").arg(text));
    return int(*n);
}

double parseVolts(const QString& text)
{
    const auto volts = strictNumber(text);
    if (!volts)
        throw UsageError(QStringLiteral("voltage '%1' is not a finite number of volts").arg(text));
    return *volts;
}

// The arguments after a command's name: its positionals, and the options it knows ("--code 5" or
// "--code=5"). A number like -1 is a positional, not an option.
class CommandArguments {
public:
    CommandArguments(const QString& command, const QStringList& words, const QStringList& valueOptions,
                     const QStringList& flags)
        : command_(command)
    {
        static const QRegularExpression optionForm(QStringLiteral("^--?[A-Za-z]"));
        for (qsizetype i = 0; i < words.size(); ++i) {
            const QString& word = words[i];
            if (word == QLatin1String("--")) {
                positionals_ += words.mid(i + 1);
                break;
            }
            if (!optionForm.match(word).hasMatch()) {
                positionals_ << word;
                continue;
            }
            const QString name = word.section(QLatin1Char('='), 0, 0);
            if (flags.contains(name)) {
                if (word.contains(QLatin1Char('=')))
                    throw UsageError(QStringLiteral("%1 %2 takes no value").arg(command_, name));
                values_.insert(name, QString());
            } else if (valueOptions.contains(name)) {
                if (word.contains(QLatin1Char('=')))
                    values_.insert(name, word.section(QLatin1Char('='), 1));
                else if (i + 1 < words.size())
                    values_.insert(name, words[++i]);
                else
                    throw UsageError(QStringLiteral("%1 %2 needs a value").arg(command_, name));
            } else if (isGlobalOption(name)) {
                // Only a session's lines get here: on the command line these are taken wherever they stand.
                throw UsageError(
                    QStringLiteral("%1 is an option of %2 itself: give it before session, not to %3")
                        .arg(name, programName(), command_));
            } else {
                throw UsageError(QStringLiteral("unknown option '%1' for %2 (%3 %2 --help lists them)")
                                     .arg(name, command_, programName()));
            }
        }
    }

    bool isSet(const QString& option) const { return values_.contains(option); }
    QString value(const QString& option) const { return values_.value(option); }
    const QStringList& positionals() const { return positionals_; }

    // Exactly this many positionals (named in the message when they are not there).
    void expect(const QStringList& names) const
    {
        if (positionals_.size() < names.size())
            throw UsageError(QStringLiteral("%1 needs %2 (%3 %1 --help)")
                                 .arg(command_, names.mid(positionals_.size()).join(QStringLiteral(" and ")),
                                      programName()));
        if (positionals_.size() > names.size())
            throw UsageError(QStringLiteral("%1 takes %2, not '%3'")
                                 .arg(command_,
                                      names.isEmpty()
                                          ? QStringLiteral("no arguments")
                                          : QStringLiteral("only ") + names.join(QStringLiteral(" and ")),
                                      positionals_.at(names.size())));
    }

private:
    static bool isGlobalOption(const QString& name)
    {
        static const QStringList global = {"--port",  "--trigger-port", "--rate",         "--a0",
                                           "--vref",  "--simulate",     "--line-latency", "--bus-trace",
                                           "--state", "--json",         "--version"};
        return global.contains(name);
    }

    QString command_;
    QStringList positionals_;
    QMap<QString, QString> values_;
};

void parseCommand(const CommandHelp& help, const QStringList& words, const QList<QByteArray>& raw,
                  Request& request)
{
    const QString name = QString::fromLatin1(help.name);
    request.command = help.command;
    request.commandName = name;
    switch (help.command) {
    case Command::Ports:
    case Command::Probe:
    case Command::Reset:
    case Command::Trigger:
    case Command::Session:
    case Command::Quit:
        CommandArguments(name, words, {}, {}).expect({});
        return;
    case Command::Read: {
        const CommandArguments args(name, words, {}, {});
        for (const QString& channel : args.positionals()) {
            const int n = parseChannel(channel, false);
            if (request.channels.contains(n))
                throw UsageError(QStringLiteral("read names channel %1 twice").arg(n));
            request.channels << n;
        }
        return;
    }
    case Command::Wait: {
        const CommandArguments args(name, words, {}, {});
        args.expect({QStringLiteral("S")});
        request.delay = parseSeconds(name, args.positionals().at(0));
        return;
    }
    case Command::Set: {
        const CommandArguments args(name, words, {QStringLiteral("--code")}, {QStringLiteral("--verify")});
        request.verify = args.isSet(QStringLiteral("--verify"));
        if (args.isSet(QStringLiteral("--code"))) {
            args.expect({QStringLiteral("CH")});
            const QString text = args.value(QStringLiteral("--code"));
            const auto code = strictInteger(text, true);
            if (!code || *code > 1023)
                throw UsageError(
                    QStringLiteral("--code %1 is not a 10-bit code (0..1023, or 0x0..0x3FF)").arg(text));
            request.code = int(*code);
        } else {
            args.expect({QStringLiteral("CH"), QStringLiteral("VOLTS")});
            request.volts = parseVolts(args.positionals().at(1));
        }
        request.channel = parseChannel(args.positionals().at(0), true);
        return;
    }
    case Command::Load:
    case Command::Save: {
        const CommandArguments args(name, words, {}, {});
        args.expect({QStringLiteral("FILE")});
        if (args.positionals().at(0).isEmpty())
            throw UsageError(QStringLiteral("%1 needs a file name, not ''").arg(name));
        request.files = {files::rawArgument(args.positionals().at(0), raw)};
        return;
    }
    case Command::Otp: {
        const CommandArguments args(name, words, {}, {QStringLiteral("--yes")});
        args.expect({QStringLiteral("CH")});
        request.channel = parseChannel(args.positionals().at(0), true);
        if (!args.isSet(QStringLiteral("--yes")))
            throw UsageError(
                QStringLiteral("otp burns OTP memory, which cannot be written again: add --yes to "
                               "go ahead (nothing was sent)"));
        return;
    }
    case Command::Batch: {
        const CommandArguments args(name, words, {QStringLiteral("--delay"), QStringLiteral("--cycles")}, {});
        if (args.positionals().isEmpty())
            throw UsageError(
                QStringLiteral("batch needs at least one FILE (%1 batch --help)").arg(programName()));
        for (const QString& file : args.positionals()) {
            if (file.isEmpty())
                throw UsageError(QStringLiteral("batch needs file names, not ''"));
            request.files << files::rawArgument(file, raw);
        }
        if (args.isSet(QStringLiteral("--delay")))
            request.delay = parseSeconds(QStringLiteral("--delay"), args.value(QStringLiteral("--delay")));
        if (args.isSet(QStringLiteral("--cycles"))) {
            const QString text = args.value(QStringLiteral("--cycles"));
            const auto cycles = strictInteger(text);
            if (!cycles || *cycles > 1000000000)
                throw UsageError(
                    QStringLiteral("--cycles %1 is not a number of cycles (0: until Ctrl-C)").arg(text));
            request.cycles = int(*cycles);
        }
        return;
    }
    }
}

void parsePort(const QString& text, Request& request)
{
    static const QRegularExpression comName(QStringLiteral("^[Cc][Oo][Mm](\\d{1,2})$"));
    const auto match = comName.match(text);
    if (match.hasMatch()) {
        const int n = match.captured(1).toInt();
        if (n < 1 || n > serial::kLastPort)
            throw UsageError(QStringLiteral("--port %1: the COM names are COM1..COM16").arg(text));
        request.comPort = n;
    } else if (text.startsWith(QLatin1Char('/')) || text.startsWith(QLatin1String("ftdi://"))) {
        request.device = text;
    } else {
        throw UsageError(QStringLiteral("--port '%1' is neither COM1..COM16 nor a device such as "
                                        "/dev/ttyUSB0, ftdi://SERIAL or /dev/i2c-1")
                             .arg(text));
    }
}

} // namespace

Invocation parseCommandLine(const QStringList& arguments, const QList<QByteArray>& raw)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Print this help (a command's: COMMAND --help) and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("V"), QStringLiteral("version")},
                                     QStringLiteral("Print the program's name and version and exit."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("The port: COM1..COM16, a serial device such as /dev/ttyUSB0, an FTDI adapter in "
                       "synchronous bit-bang (ftdi:// for the only one, ftdi://SERIAL) or a kernel I2C "
                       "adapter such as /dev/i2c-1 (default: the one chosen in the window)."),
        QStringLiteral("port"));
    const QCommandLineOption triggerPort(
        QStringLiteral("trigger-port"),
        QStringLiteral("Send the trigger block on this serial port (COM1..COM16 or a device such as "
                       "/dev/ttyUSB1) instead of the bus port's transmit line (default: the window's "
                       "[Trigger] Port setting)."),
        QStringLiteral("port"));
    const QCommandLineOption rate(
        QStringLiteral("rate"),
        QStringLiteral("The bit rate of the transmit line, which carries the trigger "
                       "block (default: the window's)."),
        QStringLiteral("rate"));
    const QCommandLineOption a0(
        QStringLiteral("a0"),
        QStringLiteral("The chip's A0 pin: 0 (address 0x74) or 1 (0x75); default: the "
                       "window's."),
        QStringLiteral("a0"));
    const QCommandLineOption vref(QStringLiteral("vref"),
                                  QStringLiteral("The reference-high voltage that converts codes and volts "
                                                 "(default: the window's for the A0 in use)."),
                                  QStringLiteral("volts"));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Use a simulated board as COM1, with chips at 0x74 and 0x75; "
                       "it is fresh at every run (every register 0) unless --state keeps it."));
    const QCommandLineOption lineLatency(
        QStringLiteral("line-latency"),
        QStringLiteral("With --simulate: every line request takes this long, as "
                       "on a USB adapter (1ms, 500us, 0.001, 0)."),
        QStringLiteral("duration"));
    const QCommandLineOption state(
        QStringLiteral("state"),
        QStringLiteral("With --simulate: keep the simulated chips' registers and OTP banks in <file> from "
                       "one run to the next (created when missing)."),
        QStringLiteral("file"));
    const QCommandLineOption busTrace(QStringLiteral("bus-trace"),
                                      QStringLiteral("Record every line request to <file> as a value change "
                                                     "dump (scl, sda)."),
                                      QStringLiteral("file"));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Print JSON instead of aligned text: one document, or one object a line for a "
                       "batch and a session."));
    const QList<QCommandLineOption> options = {help, version,  port,        triggerPort, rate,     a0,
                                               vref, simulate, lineLatency, state,       busTrace, json};

    QCommandLineParser parser;
    // Everything after the command belongs to it: "set 3 -1" is a voltage, not an option.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(options);
    bool parsed = parser.parse(arguments);
    if (parsed) {
        // The program's own options after the command ("read 3 --json") are taken as if before it.
        const QStringList words = parser.positionalArguments();
        const QStringList before = arguments.mid(0, arguments.size() - words.size());
        const auto [own, rest] = ownOptionsAfterCommand(words, options);
        if (!own.isEmpty() && !before.contains(QStringLiteral("--")))
            parsed = parser.parse(before + own + rest);
    }
    if (!parsed) {
        QString error = parser.errorText();
        error[0] = error[0].toLower();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        throw UsageError(QStringLiteral("%1 (%2 --help lists the options)").arg(error, programName()));
    }

    Invocation invocation;
    const QStringList words = parser.positionalArguments();
    const CommandHelp* command = words.isEmpty() ? nullptr : findCommand(words.first());
    if (parser.isSet(version)) {
        invocation.print = QStringLiteral("%1 %2\n").arg(programName(), QStringLiteral(KRM_VERSION_TEXT));
        return invocation;
    }
    const bool helpAsked = words.size() > 1 &&
                           (words.contains(QStringLiteral("--help")) || words.contains(QStringLiteral("-h")));
    if (parser.isSet(help) || (command && helpAsked)) {
        invocation.print = command ? commandHelp(*command) : mainHelp(options);
        return invocation;
    }
    if (words.isEmpty())
        throw UsageError(QStringLiteral("no command given (%1 --help lists them)").arg(programName()));
    if (!command)
        throw UsageError(
            QStringLiteral("unknown command '%1' (%2 --help lists them)").arg(words.first(), programName()));

    Request& request = invocation.request;
    request.simulate = parser.isSet(simulate);
    request.json = parser.isSet(json);
    if (parser.isSet(port))
        parsePort(parser.value(port), request);
    if (request.simulate && !request.device.isEmpty())
        throw UsageError(
            QStringLiteral("--port %1: the simulated board is COM1, not a device").arg(request.device));
    if (parser.isSet(triggerPort)) {
        request.triggerPort = parser.value(triggerPort);
        static const QRegularExpression serialPort(QStringLiteral("^([Cc][Oo][Mm]\\d{1,2}|/.+)$"));
        if (!serialPort.match(request.triggerPort).hasMatch())
            throw UsageError(
                QStringLiteral("--trigger-port '%1' is not a serial port (COM1..COM16 or a device "
                               "path)")
                    .arg(request.triggerPort));
    }
    if (parser.isSet(rate)) {
        const auto value = strictInteger(parser.value(rate));
        if (!value || *value < 1 || *value > kMaxRate)
            throw UsageError(QStringLiteral("--rate '%1' is not a bit rate (1..%2)")
                                 .arg(parser.value(rate))
                                 .arg(kMaxRate));
        request.rate = qint32(*value);
    }
    if (parser.isSet(a0)) {
        const QString value = parser.value(a0);
        if (value != QLatin1String("0") && value != QLatin1String("1"))
            throw UsageError(QStringLiteral("--a0 '%1' is neither 0 nor 1").arg(value));
        request.a0 = value;
    }
    if (parser.isSet(vref)) {
        const auto value = strictNumber(parser.value(vref));
        if (!value || !(*value > 0))
            throw UsageError(QStringLiteral("--vref '%1' is not a voltage above 0").arg(parser.value(vref)));
        request.vref = *value;
    }
    if (parser.isSet(lineLatency)) {
        if (!request.simulate)
            throw UsageError(QStringLiteral("--line-latency slows the simulated board only: add --simulate"));
        request.lineLatency = parseLatency(parser.value(lineLatency));
    }
    if (parser.isSet(state)) {
        if (!request.simulate)
            throw UsageError(QStringLiteral("--state keeps the simulated board's memory: add --simulate"));
        request.statePath = files::rawArgument(parser.value(state), raw);
        if (request.statePath.isEmpty())
            throw UsageError(QStringLiteral("--state needs a file name, not ''"));
    }
    if (parser.isSet(busTrace)) {
        request.busTrace = files::rawArgument(parser.value(busTrace), raw);
        if (request.busTrace.isEmpty())
            throw UsageError(QStringLiteral("--bus-trace needs a file name, not ''"));
    }
    parseCommand(*command, words.mid(1), raw, request);
    return invocation;
}

std::optional<Request> parseSessionLine(const Request& session, const QString& line)
{
    const QStringList words = QProcess::splitCommand(line);
    if (words.isEmpty() || words.first().startsWith(QLatin1Char('#')))
        return std::nullopt;
    static const std::vector<CommandHelp> own = {
        {Command::Wait, "wait", {"wait S"}, "", "", {}},
        {Command::Quit, "quit", {"quit"}, "", "", {}},
    };
    const CommandHelp* command = findCommand(words.first());
    for (const CommandHelp& help : own)
        if (words.first() == QLatin1String(help.name))
            command = &help;
    if (!command || command->command == Command::Session)
        throw UsageError(QStringLiteral("unknown command '%1' (%2 session --help lists them)")
                             .arg(words.first(), programName()));
    Request request;
    request.comPort = session.comPort;
    request.device = session.device;
    request.triggerPort = session.triggerPort;
    request.rate = session.rate;
    request.a0 = session.a0;
    request.vref = session.vref;
    request.simulate = session.simulate;
    request.json = session.json;
    parseCommand(*command, words.mid(1), {}, request);
    return request;
}

} // namespace cli
