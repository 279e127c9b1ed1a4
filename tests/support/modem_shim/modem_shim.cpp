// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "modem_shim.h"

#include "sim/simulated_board.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// Everything else in the library is hidden, so its copy of the board never meets the core of the
// executable it is loaded into.
#define KRM_SHIM_EXPORT __attribute__((visibility("default")))

namespace {

struct Attachment {
    Attachment(dev_t device, sim::SimulatedBoard::Chips chips) : device(device), board(chips) {}

    dev_t device;
    sim::SimulatedBoard board;
    sim::SimulatedBoard::Faults faults;
    // The board keeps its line state to itself; TIOCMGET reports it back.
    bool rts = false, dtr = false, pulled = false;
    unsigned long requests = 0;
};

// Held while a request is served and while the board is swapped.
std::mutex serving;
Attachment* attached = nullptr;
// Where the preloaded library saves the chips' memory at exit: a plain pointer, as static objects are
// destroyed before the library's destructor runs.
char* statePath = nullptr;

// One record of the state file; the file is only ever read back by the build that wrote it.
struct SavedChip {
    int address;
    sim::SimulatedChip::Memory memory;
};

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
            *static_cast<int*>(arg) =
                (a.rts ? TIOCM_RTS : 0) | (a.dtr ? TIOCM_DTR : 0) | (a.board.dsr() ? TIOCM_DSR : 0);
            return 0;
        }
        // TIOCMSET names both lines; TIOCMBIS and TIOCMBIC only those whose bits they carry.
        const int bits = *static_cast<const int*>(arg);
        for (const int line : {TIOCM_RTS, TIOCM_DTR}) {
            if (request != TIOCMSET && !(bits & line))
                continue;
            const bool asserted = request == TIOCMSET ? (bits & line) != 0 : request == TIOCMBIS;
            if (line == TIOCM_RTS)
                a.board.setRts(a.rts = asserted);
            else
                a.board.setDtr(a.dtr = asserted);
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

int saveState(const char* path)
{
    std::FILE* file = std::fopen(path, "wb");
    if (!file)
        return -1;
    bool written = true;
    for (const int address : {0x74, 0x75}) {
        if (const sim::SimulatedChip* chip = chipAt(address)) {
            const SavedChip record{address, chip->memory()};
            written = std::fwrite(&record, sizeof record, 1, file) == 1 && written;
        }
    }
    return std::fclose(file) == 0 && written ? 0 : -1;
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
    // KRM_SHIM_CONFIG: the bytes of a krm_shim_config in hex.
    if (const char* text = std::getenv("KRM_SHIM_CONFIG")) {
        auto* bytes = reinterpret_cast<unsigned char*>(&config);
        bool parsed = std::strlen(text) == 2 * sizeof config;
        for (std::size_t i = 0; parsed && i < sizeof config; ++i)
            parsed = std::sscanf(text + 2 * i, "%2hhx", &bytes[i]) == 1;
        if (!parsed)
            refuse("KRM_SHIM_CONFIG does not parse", text);
    }
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
    if (statePath && saveState(statePath) != 0)
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
    if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCMSET) {
        const std::lock_guard guard(serving);
        struct stat st {};
        if (attached && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == attached->device)
            return serve(*attached, request, arg);
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return next ? next(fd, request, arg) : failWith(ENOSYS);
}

KRM_SHIM_EXPORT krm_shim_config krm_shim_default_config(void)
{
    krm_shim_config config{};
    config.chips = KRM_SHIM_CHIPS_BOTH;
    config.dsr = KRM_SHIM_DSR_WIRED;
    config.gone_after = -1;
    return config;
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
        if (sim::SimulatedChip* chip = board.chip(0x74 + k))
            for (int reg = 0; reg < KRM_SHIM_REGISTERS; ++reg)
                chip->setDacRegister(reg, config->codes[k][reg]);
    }
    fresh->faults = {config->dsr == KRM_SHIM_DSR_DEAD, config->dsr == KRM_SHIM_DSR_STUCK, config->gone_after,
                     config->dsr == KRM_SHIM_DSR_ON_SCL};
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
    return chipAt(address7) ? chipAt(address7)->bankStatus() : -1;
}

KRM_SHIM_EXPORT int krm_shim_resets(int address7)
{
    return chipAt(address7) ? chipAt(address7)->resets() : -1;
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

KRM_SHIM_EXPORT int krm_shim_load_state(const char* path)
{
    if (!attached)
        return failWith(ENODEV);
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return -1;
    SavedChip record{};
    while (std::fread(&record, sizeof record, 1, file) == 1) {
        if (sim::SimulatedChip* chip = chipAt(record.address))
            chip->setMemory(record.memory);
    }
    // A record cut short is a file this library did not write whole.
    const bool whole = !std::ferror(file) && std::ftell(file) % long(sizeof record) == 0;
    std::fclose(file);
    return whole ? 0 : failWith(EINVAL);
}

} // extern "C"
