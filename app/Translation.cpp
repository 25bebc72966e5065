#include "Translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>

namespace {

const QString folder = QStringLiteral(":/translations/");
const QString ourPrefix = QStringLiteral("tarnwick_");

// Qt takes the layout direction from this text of its catalogue whenever one
// is installed; ours says it too, so that a language Qt has no catalogue for
// still turns it.
[[maybe_unused]] constexpr struct
{
    const char *source;
    const char *comment;
} layoutDirection =
    QT_TRANSLATE_NOOP3("QGuiApplication", "QT_LAYOUT_DIRECTION",
                       "Translate this string to the string 'LTR' in left-to-right languages or to 'RTL' in "
                       "right-to-left languages (such as Hebrew and Arabic) to get proper widget layout.");

} // namespace

Translation::Translation(const QStringList &preferred)
    : chosen(choose(preferred, available()))
{
    if (chosen.isEmpty())
        return;
    // Searched last-installed first: ours before Qt's.
    if (qts.load(folder + QStringLiteral("qtbase_") + chosen + QStringLiteral(".qm")))
        QCoreApplication::installTranslator(&qts);
    if (ours.load(folder + ourPrefix + chosen + QStringLiteral(".qm")))
        QCoreApplication::installTranslator(&ours);
}

QString Translation::choose(const QStringList &preferred, const QStringList &available)
{
    for (const QString &tag : preferred) {
        const QLocale wanted(tag);
        if (wanted.language() == QLocale::English)
            return QString();
        // A tag Qt does not know comes out as the C locale, which no catalogue has.
        QString sameLanguage;
        for (const QString &name : available) {
            const QLocale catalogue(name);
            // The script keeps Simplified and Traditional Chinese apart.
            if (catalogue.language() != wanted.language() || catalogue.script() != wanted.script())
                continue;
            if (catalogue.name() == wanted.name())
                return name;
            if (sameLanguage.isEmpty())
                sameLanguage = name;
        }
        if (!sameLanguage.isEmpty())
            return sameLanguage;
    }
    return QString();
}

QStringList Translation::available()
{
    QStringList names;
    const QStringList files = QDir(folder).entryList({ourPrefix + QStringLiteral("*.qm")}, QDir::Files, QDir::Name);
    for (const QString &file : files)
        names << file.mid(ourPrefix.size()).chopped(3);
    return names;
}
