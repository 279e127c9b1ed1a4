// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QString>

#include <stdexcept>

namespace files {

// A failure whose text is for the user. The text travels as a QString: what() ends at the first NUL byte,
// and a message that quotes a damaged file may hold one.
class TextError : public std::runtime_error {
public:
    explicit TextError(const QString& text) : std::runtime_error(text.toStdString()), text_(text) {}
    const QString& text() const { return text_; }

private:
    QString text_;
};

} // namespace files
