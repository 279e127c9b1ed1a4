// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "modem_shim.h"

#include "sim/simulated_board.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

// Everything else in the library is hidden, so its copy of the board never meets the core of the
// executable it is loaded into.
#define KRM_SHIM_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int kChipAddresses[2] = {0x74, 0x75};

struct Attachment {
    Attachment(dev_t device, sim::SimulatedBoard::Chips chips) : device(device), board(chips) {}

    dev_t device;
    sim::SimulatedBoard board;
    sim::SimulatedBoard::Faults faults;
    // The board keeps its line state to itself; TIOCMGET reports it back.
    bool rts = false;
    bool dtr = false;
    bool pulled = false;
    unsigned long requests = 0;
};

// Held while a request is served and while the board is swapped.
std::mutex serving;
Attachment* attached = nullptr;
// Where the preloaded library saves the chips' memory at exit.
char* statePath = nullptr;

int ioctlNext(int fd, unsigned long request, void* arg)
{
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, arg);
}

bool isModemRequest(unsigned long request)
{
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCMSET;
}

bool refersTo(int fd, dev_t device)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device;
}

int failWith(int err)
{
    errno = err;
    return -1;
}

int serve(Attachment& a, unsigned long request, void* arg)
{
    ++a.requests;
    if (!arg)
        return failWith(EFAULT);
    if (a.pulled)
        return failWith(EIO);
    try {
        if (request == TIOCMGET) {
            const bool dsr = a.board.dsr();
            *static_cast<int*>(arg) =
                (a.rts ? TIOCM_RTS : 0) | (a.dtr ? TIOCM_DTR : 0) | (dsr ? TIOCM_DSR : 0);
            return 0;
        }
        // TIOCMSET names both lines; TIOCMBIS and TIOCMBIC only those whose bits they carry.
        const int bits = *static_cast<const int*>(arg);
        const auto line = [&](int bit, bool current) {
            if (request == TIOCMSET)
                return std::pair{true, (bits & bit) != 0};
            const bool named = (bits & bit) != 0;
            return std::pair{named, named ? request == TIOCMBIS : current};
        };
        if (const auto [named, asserted] = line(TIOCM_RTS, a.rts); named) {
            a.board.setRts(asserted);
            a.rts = asserted;
        }
        if (const auto [named, asserted] = line(TIOCM_DTR, a.dtr); named) {
            a.board.setDtr(asserted);
            a.dtr = asserted;
        }
        return 0;
    } catch (const serial::PortError&) {
        // The board was pulled: from now on it is closed and every request fails as a vanished device's does.
        a.pulled = true;
        return failWith(EIO);
    }
}

sim::SimulatedChip* chipAt(int address7)
{
    return attached ? attached->board.chip(address7) : nullptr;
}

template <typename T> bool parseNumber(std::string_view text, T& out)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parseCodes(std::string_view text, unsigned short (&codes)[KRM_SHIM_REGISTERS])
{
    for (int reg = 0; reg < KRM_SHIM_REGISTERS && !text.empty(); ++reg) {
        const std::size_t comma = text.find(',');
        if (!parseNumber(text.substr(0, comma), codes[reg]))
            return false;
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return text.empty();
}

bool parseEntry(std::string_view key, std::string_view value, krm_shim_config& config)
{
    const auto pick = [&](auto& out, std::initializer_list<std::pair<std::string_view, int>> names) {
        for (const auto& [name, v] : names) {
            if (value == name) {
                out = static_cast<std::remove_reference_t<decltype(out)>>(v);
                return true;
            }
        }
        return false;
    };
    if (key == "chips")
        return pick(config.chips, {{"none", KRM_SHIM_CHIPS_NONE},
                                   {"74", KRM_SHIM_CHIP_74},
                                   {"75", KRM_SHIM_CHIP_75},
                                   {"both", KRM_SHIM_CHIPS_BOTH}});
    if (key == "dsr")
        return pick(
            config.dsr,
            {{"wired", KRM_SHIM_DSR_WIRED}, {"dead", KRM_SHIM_DSR_DEAD}, {"stuck", KRM_SHIM_DSR_STUCK}});
    if (key == "stranded")
        return pick(config.stranded, {{"0", 0}, {"74", 0x74}, {"75", 0x75}});
    if (key == "gone_after")
        return parseNumber(value, config.gone_after) && config.gone_after >= -1;
    if (key == "latency_us")
        return parseNumber(value, config.latency_us) && config.latency_us >= 0;
    if (key == "codes74")
        return parseCodes(value, config.codes[0]);
    if (key == "codes75")
        return parseCodes(value, config.codes[1]);
    return false;
}

std::string formatCodes(const unsigned short (&codes)[KRM_SHIM_REGISTERS])
{
    std::string text;
    for (int reg = 0; reg < KRM_SHIM_REGISTERS; ++reg)
        text += (reg ? "," : "") + std::to_string(codes[reg]);
    return text;
}

std::string hex(int address7)
{
    char text[8];
    std::snprintf(text, sizeof text, "%x", address7);
    return text;
}

// One line per chip for its bank use, its registers, and each OTP bank:
//   chip 74 banks_used 2 bank_open 0 resets 3
//   dac 74 <24 codes>
//   otp 74 <bank> <24 codes>
std::string formatState()
{
    std::ostringstream out;
    out << "krm_shim_state 1\n";
    for (const int address : kChipAddresses) {
        const sim::SimulatedChip* chip = chipAt(address);
        if (!chip)
            continue;
        const auto memory = chip->memory();
        const auto codes = [&](const auto& registers) {
            for (const auto code : registers)
                out << ' ' << code;
            out << '\n';
        };
        out << "chip " << hex(address) << " banks_used " << memory.banksUsed << " bank_open "
            << memory.bankOpen << " resets " << memory.resets << '\n';
        out << "dac " << hex(address);
        codes(memory.dac);
        for (int bank = 0; bank < sim::SimulatedChip::kBanks; ++bank) {
            out << "otp " << hex(address) << ' ' << bank;
            codes(memory.otp[bank]);
        }
    }
    return out.str();
}

bool parseState(std::istream& in, std::map<int, sim::SimulatedChip::Memory>& memories)
{
    std::string line;
    if (!std::getline(in, line) || line != "krm_shim_state 1")
        return false;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string kind;
        int address = 0;
        if (!(fields >> kind >> std::hex >> address >> std::dec))
            return false;
        auto [entry, fresh] = memories.try_emplace(address);
        auto& memory = entry->second;
        if (fresh && chipAt(address))
            memory = chipAt(address)->memory();
        const auto codes = [&](auto& registers) {
            for (auto& code : registers)
                fields >> code;
        };
        bool known = true;
        if (kind == "chip") {
            std::string banks, open, resets;
            fields >> banks >> memory.banksUsed >> open >> memory.bankOpen >> resets >> memory.resets;
            known = banks == "banks_used" && open == "bank_open" && resets == "resets";
        } else if (kind == "dac") {
            codes(memory.dac);
        } else if (int bank = -1;
                   kind == "otp" && fields >> bank && bank >= 0 && bank < sim::SimulatedChip::kBanks) {
            codes(memory.otp[bank]);
        } else {
            known = false;
        }
        std::string rest;
        if (!known || fields.fail() || fields >> rest)
            return false;
    }
    return true;
}

[[noreturn]] void refuse(const char* variable, const char* reason)
{
    std::fprintf(stderr, "krm_modem_shim: %s: %s\n", variable, reason);
    ::_exit(125);
}

// Preloaded into a program, the library takes its board from the environment before main() runs.
__attribute__((constructor)) void attachFromEnvironment()
{
    const char* pty = std::getenv("KRM_SHIM_PTY");
    if (!pty || !*pty)
        return;
    krm_shim_config config = krm_shim_default_config();
    const char* text = std::getenv("KRM_SHIM_CONFIG");
    if (text && krm_shim_parse_config(text, &config) != 0)
        refuse("KRM_SHIM_CONFIG does not parse", text);
    if (krm_shim_attach(pty, &config) != 0)
        refuse("KRM_SHIM_PTY", std::strerror(errno));
    const char* state = std::getenv("KRM_SHIM_STATE");
    if (!state || !*state)
        return;
    if (krm_shim_load_state(state) != 0 && errno != ENOENT)
        refuse("KRM_SHIM_STATE", std::strerror(errno));
    statePath = ::strdup(state);
}

__attribute__((destructor)) void saveAtExit()
{
    if (statePath && krm_shim_save_state(statePath) != 0)
        std::perror("krm_modem_shim: KRM_SHIM_STATE");
    std::free(statePath);
    statePath = nullptr;
    krm_shim_detach();
}

} // namespace

extern "C" {

// glibc's signature. The descriptor is checked only for the four modem requests, so everything else costs a
// comparison on top of the real call.
KRM_SHIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (isModemRequest(request)) {
        const std::lock_guard guard(serving);
        if (attached && refersTo(fd, attached->device))
            return serve(*attached, request, arg);
    }
    return ioctlNext(fd, request, arg);
}

KRM_SHIM_EXPORT krm_shim_config krm_shim_default_config(void)
{
    krm_shim_config config{};
    config.chips = KRM_SHIM_CHIPS_BOTH;
    config.dsr = KRM_SHIM_DSR_WIRED;
    config.gone_after = -1;
    return config;
}

KRM_SHIM_EXPORT int krm_shim_format_config(const krm_shim_config* config, char* text, size_t size)
{
    static const char* const chips[] = {"none", "74", "75", "both"};
    static const char* const dsr[] = {"wired", "dead", "stuck"};
    const std::string out =
        std::string("chips=") + chips[config->chips] + " dsr=" + dsr[config->dsr] +
        " stranded=" + hex(config->stranded) + " gone_after=" + std::to_string(config->gone_after) +
        " latency_us=" + std::to_string(config->latency_us) + " codes74=" + formatCodes(config->codes[0]) +
        " codes75=" + formatCodes(config->codes[1]);
    return std::snprintf(text, size, "%s", out.c_str());
}

KRM_SHIM_EXPORT int krm_shim_parse_config(const char* text, krm_shim_config* config)
{
    krm_shim_config parsed = *config;
    std::istringstream in(text);
    std::map<std::string, int> seen;
    for (std::string entry; in >> entry;) {
        const std::size_t equals = entry.find('=');
        const std::string key = entry.substr(0, equals);
        if (equals == std::string::npos || seen[key]++ ||
            !parseEntry(key, std::string_view(entry).substr(equals + 1), parsed))
            return -1;
    }
    *config = parsed;
    return 0;
}

KRM_SHIM_EXPORT int krm_shim_attach(const char* slave_path, const krm_shim_config* config)
{
    struct stat st {};
    if (::stat(slave_path, &st) != 0)
        return -1;
    if (!S_ISCHR(st.st_mode))
        return failWith(ENOTTY);
    auto* fresh = new Attachment(st.st_rdev, static_cast<sim::SimulatedBoard::Chips>(config->chips));
    sim::SimulatedBoard& board = fresh->board;
    board.open(1);
    for (int k = 0; k < 2; ++k) {
        if (sim::SimulatedChip* chip = board.chip(kChipAddresses[k]))
            for (int reg = 0; reg < KRM_SHIM_REGISTERS; ++reg)
                chip->setDacRegister(reg, config->codes[k][reg]);
    }
    fresh->faults = {config->dsr == KRM_SHIM_DSR_DEAD, config->dsr == KRM_SHIM_DSR_STUCK, config->gone_after};
    board.setFaults(fresh->faults);
    board.setLineLatency(std::chrono::microseconds(config->latency_us));
    if (config->stranded)
        board.strandChipMidRead(config->stranded);

    const std::lock_guard guard(serving);
    delete attached;
    attached = fresh;
    return 0;
}

KRM_SHIM_EXPORT void krm_shim_detach(void)
{
    const std::lock_guard guard(serving);
    delete attached;
    attached = nullptr;
}

KRM_SHIM_EXPORT void krm_shim_pull_after(unsigned long line_requests)
{
    if (!attached)
        return;
    attached->faults.goneAfter = long(attached->board.lineRequests() + line_requests);
    attached->board.setFaults(attached->faults);
}

KRM_SHIM_EXPORT int krm_shim_dac_register(int address7, int reg)
{
    const sim::SimulatedChip* chip = chipAt(address7);
    return chip && reg >= 0 && reg < KRM_SHIM_REGISTERS ? chip->dacRegister(reg) : -1;
}

KRM_SHIM_EXPORT int krm_shim_bank_status(int address7)
{
    const sim::SimulatedChip* chip = chipAt(address7);
    return chip ? chip->bankStatus() : -1;
}

KRM_SHIM_EXPORT int krm_shim_resets(int address7)
{
    const sim::SimulatedChip* chip = chipAt(address7);
    return chip ? chip->resets() : -1;
}

KRM_SHIM_EXPORT unsigned long krm_shim_requests(void)
{
    return attached ? attached->requests : 0;
}

KRM_SHIM_EXPORT unsigned long krm_shim_line_requests(void)
{
    return attached ? attached->board.lineRequests() : 0;
}

KRM_SHIM_EXPORT int krm_shim_sda_wire(void)
{
    return attached ? attached->board.sdaWire() : -1;
}

KRM_SHIM_EXPORT int krm_shim_save_state(const char* path)
{
    if (!attached)
        return failWith(ENODEV);
    std::FILE* file = std::fopen(path, "w");
    if (!file)
        return -1;
    const bool written = std::fputs(formatState().c_str(), file) >= 0;
    const bool closed = std::fclose(file) == 0;
    return written && closed ? 0 : -1;
}

KRM_SHIM_EXPORT int krm_shim_load_state(const char* path)
{
    if (!attached)
        return failWith(ENODEV);
    std::FILE* file = std::fopen(path, "r");
    if (!file)
        return -1;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed)
        return failWith(EIO);
    std::istringstream in(text);
    std::map<int, sim::SimulatedChip::Memory> memories;
    if (!parseState(in, memories))
        return failWith(EINVAL);
    for (const auto& [address, memory] : memories) {
        if (sim::SimulatedChip* chip = chipAt(address))
            chip->setMemory(memory);
    }
    return 0;
}

} // extern "C"
