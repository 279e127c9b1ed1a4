// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fuzz {

// A broken invariant must stop the run like a sanitizer finding, so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                                   \
    do {                                                                                                   \
        if (!(cond)) {                                                                                     \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);             \
            std::abort();                                                                                  \
        }                                                                                                  \
    } while (0)

// One scratch file per process and name, so fuzzers running side by side never share one.
inline QString scratchPath(const QString& name)
{
    return QDir::tempPath() + QStringLiteral("/krm59340-fuzz-%1-").arg(::getpid()) + name;
}

inline void writeFile(const QString& path, const uint8_t* data, size_t size)
{
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
}

} // namespace fuzz
