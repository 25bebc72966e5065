#pragma once

#include <QString>
#include <QStringList>
#include <QTranslator>

// The window's texts and Qt's own in the user's language: the first of the
// user's preferred languages that a catalogue compiled into the program
// speaks. English, the texts as written, when none does or when English comes
// first. The reasons of the download, archive and package layers stay as
// they are.
class Translation
{
public:
    // Installs on the running application our catalogue and Qt's for the
    // first of `preferred` (BCP 47 tags, most wanted first, as
    // QLocale::uiLanguages() gives them) that we have. A right-to-left
    // language turns the application's layout direction with it.
    explicit Translation(const QStringList &preferred);
    Translation(const Translation &) = delete;
    Translation &operator=(const Translation &) = delete;

    // The catalogue installed ("de", "pt_BR", "zh_Hant"); empty for English.
    QString language() const { return chosen; }

    // The catalogue for `preferred` among `available` (names as above): for
    // the first tag that one speaks, by language and script, the one of the
    // tag's country if we have it, else any. Empty for English, which stops
    // the search where it stands, and when none speaks a tag.
    static QString choose(const QStringList &preferred, const QStringList &available);
    // The names of the catalogues compiled in.
    static QStringList available();

private:
    const QString chosen;
    // Removed from the application by their destructors, ours first.
    QTranslator qts;
    QTranslator ours;
};
