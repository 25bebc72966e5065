#include "VisibleText.h"

#include <algorithm>

namespace {

bool isControlCharacter(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

} // namespace

bool containsControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), isControlCharacter);
}

QString withVisibleControlCharacters(const QString &text)
{
    QString visible;
    visible.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            visible += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            visible += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            visible += QLatin1String("\\t");
        else if (isControlCharacter(c))
            visible += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            visible += c;
    }
    return visible;
}
