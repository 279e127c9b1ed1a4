// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/port_catalog.h"
#include "support/modem_shim/modem_shim.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QString>

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

// A pseudo-terminal whose slave has the modem lines of a simulated board, for driving the real POSIX port:
//
//     krm_shim_config config = krm_shim_default_config(); // both chips, codes 0, no faults
//     config.codes[0][3] = 0x2A5;                          // chip 0x74, register 3
//     PtyBoard board(config);
//     serial::PortCatalog catalog = board.catalog();       // COM1 -> the slave
//     serial::PosixSerialPort port(catalog);
//     port.open(1);
//     ... krm_shim_dac_register(0x74, 3), krm_shim_requests(), ... (modem_shim.h)
//
// The executable must link krm_modem_shim. The shim serves one board at a time: a second PtyBoard replaces
// the first one's board. The master stays open for the object's life, so the slave never hangs up under
// the port; destroy the port first (declare it after the board).
//
// A program run as a subprocess gets a board of its own through childEnvironment(); its chips' memory comes
// back through the state file, which loadState() applies to this process's board for reading back.
class PtyBoard {
public:
    explicit PtyBoard(const krm_shim_config& config = krm_shim_default_config())
        : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            fail("pseudo-terminal");
        slave_ = QString::fromLocal8Bit(::ptsname(master_));
        if (krm_shim_attach(QFile::encodeName(slave_).constData(), &config) != 0)
            fail("attach the modem shim");
    }
    ~PtyBoard()
    {
        krm_shim_detach();
        ::close(master_);
    }
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    const QString& slave() const { return slave_; }
    int master() const { return master_; }
    serial::PortCatalog catalog() const { return serial::PortCatalog({{1, slave_}}, {}); }

    // The environment that has a program preloaded with the shim serve this pty from its own board with
    // this configuration, the chips' memory carried in statePath from one run to the next (none when
    // empty). Under AddressSanitizer its runtime is preloaded first, as it insists on.
    QProcessEnvironment childEnvironment(const krm_shim_config& config, const QString& statePath = {}) const
    {
        const QString asan = libraryOf(::dlsym(RTLD_DEFAULT, "__asan_init"));
        const QString shim = libraryOf(reinterpret_cast<const void*>(&krm_shim_attach));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), asan.isEmpty() ? shim : asan + QLatin1Char(' ') + shim);
        env.insert(QStringLiteral("KRM_SHIM_PTY"), slave_);
        const QByteArray bytes(reinterpret_cast<const char*>(&config), sizeof config);
        env.insert(QStringLiteral("KRM_SHIM_CONFIG"), QString::fromLatin1(bytes.toHex()));
        if (!statePath.isEmpty())
            env.insert(QStringLiteral("KRM_SHIM_STATE"), statePath);
        return env;
    }

    void loadState(const QString& path)
    {
        if (krm_shim_load_state(QFile::encodeName(path).constData()) != 0)
            fail("load " + path.toStdString());
    }

private:
    [[noreturn]] static void fail(const std::string& what)
    {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }

    // The file of the library this process loaded the address from; empty for none.
    static QString libraryOf(const void* address)
    {
        Dl_info info{};
        return address && ::dladdr(address, &info) ? QFile::decodeName(info.dli_fname) : QString();
    }

    int master_;
    QString slave_;
};
