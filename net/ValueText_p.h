#pragma once

#include <QByteArray>
#include <QString>

// How the readers of a URL's pin and of an answer's headers look at a value
// and show a bad one.

// Whether text is one or more ASCII digits and nothing else: no sign, no
// space (which QByteArray::toLongLong would let pass).
[[nodiscard]] bool isDecimal(const QByteArray &text);

// value as a message shows it: its first `length` characters, and "..." when
// there were more.
[[nodiscard]] QString shortened(const QString &value, int length);
