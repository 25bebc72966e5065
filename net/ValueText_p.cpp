#include "ValueText_p.h"

#include <algorithm>

bool isDecimal(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

QString shortened(const QString &value, int length)
{
    return value.size() <= length ? value : value.left(length) + QStringLiteral("...");
}
