#pragma once

#include <QString>

// Whether `text` holds a control character: U+0000 to U+001F, or U+007F. Such
// a character in a path would cut it short, split it or hide part of it in
// the layers below and on screen.
[[nodiscard]] bool containsControlCharacter(const QString &text);

// `text` with its control characters spelled out ("\n", "\r", "\t", else
// "\x" and two hex digits), so that a message can show it on one line.
[[nodiscard]] QString withVisibleControlCharacters(const QString &text);
