#pragma once

#include "VisibleText.h"

#include <QString>

// A text from a package, as a message shows it: on one line, and cut after
// 100 characters.
[[nodiscard]] inline QString shownText(const QString &text)
{
    return withVisibleControlCharacters(text.size() <= 100 ? text : text.left(100) + QStringLiteral("..."));
}
