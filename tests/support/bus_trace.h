// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <string>
#include <vector>

namespace bustrace {

// Reads a RecordingPort's request string back as bus traffic, from the master's side only: SDA is what RTS
// drives (released = 1), sampled on SCL rising edges, nine bits a byte with the acknowledge slot last.
// Returns the byte values of each frame, split at START and STOP conditions.
inline std::vector<std::vector<int>> decode(const std::string& requests)
{
    std::vector<std::vector<int>> frames;
    bool sda = true, scl = true, inFrame = false;
    int bits = 0, value = 0;
    for (char c : requests) {
        const bool level = c == 'r' || c == 'd';
        if (c == 'R' || c == 'r') {
            if (scl && level != sda && !level)
                frames.emplace_back(), inFrame = true, bits = value = 0;
            else if (scl && level != sda)
                inFrame = false;
            sda = level;
        } else if (c == 'D' || c == 'd') {
            if (!scl && level && inFrame && ++bits <= 8)
                value = value << 1 | (sda ? 1 : 0);
            else if (!scl && level && inFrame)
                frames.back().push_back(value), bits = value = 0;
            scl = level;
        }
    }
    return frames;
}

} // namespace bustrace
