#include "BundleVersion.h"

#include "ShownText_p.h"

#include <QStringList>

namespace {

constexpr int mostNumbers = 3;

// The numbers of a version without their leading zeros, or no value.
std::optional<QStringList> numbersOf(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() > mostNumbers)
        return std::nullopt;
    QStringList numbers;
    for (const QString &part : parts) {
        if (part.isEmpty())
            return std::nullopt;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        }
        int first = 0;
        while (first < part.size() - 1 && part[first] == QLatin1Char('0'))
            ++first;
        numbers.append(part.mid(first));
    }
    while (numbers.size() < mostNumbers)
        numbers.append(QStringLiteral("0"));
    return numbers;
}

QString notAVersion(const QString &version)
{
    return QStringLiteral("\"%1\", which is not a version of one to three numbers such as 42 or 1.2.3")
        .arg(shownText(version));
}

} // namespace

bool isBundleVersion(const QString &version)
{
    return numbersOf(version).has_value();
}

std::optional<int> compareBundleVersions(const QString &a, const QString &b)
{
    const std::optional<QStringList> left = numbersOf(a), right = numbersOf(b);
    if (!left || !right)
        return std::nullopt;
    for (int i = 0; i < mostNumbers; ++i) {
        // Numbers of any length: the longer one is larger, else the digits decide.
        const QString &x = (*left)[i], &y = (*right)[i];
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        if (const int order = x.compare(y); order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}

bool permitsUpdate(const QString &packageName, const QList<BundleIdentity> &packaged, const BundleIdentity &installed,
                   QString &error)
{
    const QString application = shownText(installed.identifier);
    if (!isBundleVersion(installed.version)) {
        error = QStringLiteral("The installed %1 has the version %2.").arg(application, notAVersion(installed.version));
        return false;
    }
    QStringList others;
    bool found = false;
    for (const BundleIdentity &bundle : packaged) {
        if (bundle.identifier != installed.identifier) {
            if (!others.contains(bundle.identifier) && others.size() < 3)
                others.append(shownText(bundle.identifier));
            continue;
        }
        found = true;
        const std::optional<int> order = compareBundleVersions(bundle.version, installed.version);
        if (!order) {
            error =
                QStringLiteral("%1 would install %2 %3.").arg(packageName, application, notAVersion(bundle.version));
            return false;
        }
        if (*order <= 0) {
            error = QStringLiteral("%1 would install %2 %3, which is not newer than the installed %4.")
                        .arg(packageName, application, shownText(bundle.version), shownText(installed.version));
            return false;
        }
    }
    if (!found) {
        error = others.isEmpty() ? QStringLiteral("%1 names no application bundle that it installs.").arg(packageName)
                                 : QStringLiteral("%1 does not update %2: it installs %3.")
                                       .arg(packageName, application, others.join(QStringLiteral(", ")));
        return false;
    }
    return true;
}
