// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/port_catalog.h"
#include "support/modem_shim/modem_shim.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <link.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

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
        std::vector<char> text(std::size_t(krm_shim_format_config(&config, nullptr, 0)) + 1);
        krm_shim_format_config(&config, text.data(), text.size());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), preloads().join(QLatin1Char(' ')));
        env.insert(QStringLiteral("KRM_SHIM_PTY"), slave_);
        env.insert(QStringLiteral("KRM_SHIM_CONFIG"), QString::fromLatin1(text.data()));
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

    // The libraries as this process loaded them, the sanitizer's runtime (if any) first.
    static QStringList preloads()
    {
        QStringList found[2];
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* out) {
                auto* lists = static_cast<QStringList*>(out);
                const QString path = QFile::decodeName(info->dlpi_name);
                if (path.contains(QLatin1String("/libasan.so")))
                    lists[0].append(path);
                else if (path.endsWith(QLatin1String("/libkrm_modem_shim.so")))
                    lists[1].append(path);
                return 0;
            },
            found);
        if (found[1].isEmpty())
            throw std::runtime_error("the modem shim is not loaded");
        return found[0] + found[1];
    }

    int master_;
    QString slave_;
};
