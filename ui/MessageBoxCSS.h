#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>

class QWidget;

// A QMessageBox that takes its look from its parent's style sheet. Up to three
// standard buttons (QMessageBox::StandardButton values as int, 0 for none) get
// the caller's texts and object names, so that id selectors of the parent's
// sheet (QPushButton#CLOSE and the like) style them. GUI thread only.
class MessageBoxCSS
{
public:
    // Holds no box: exec() returns 0 (as it does once the box is gone with its parent).
    MessageBoxCSS();
    // Builds the box as a Qt child of `parent` (which may be null); shows nothing yet.
    // A button triple with an empty text is left as Qt made it; an empty name
    // means the text is the object name. A value the box has no button for is
    // ignored, in a triple as in `defaultButton`.
    MessageBoxCSS(const QString &title, const QString &text, QMessageBox::Icon icon, int button0, QString buttonText0,
                  QString buttonName0, int button1, QString buttonText1, QString buttonName1, int button2,
                  QString buttonText2, QString buttonName2, int defaultButton, QWidget *parent, bool modal,
                  Qt::WindowFlags flags);
    // Schedules the box for deletion (deleteLater): it outlives this object
    // until control is back in the event loop.
    ~MessageBoxCSS();

    MessageBoxCSS(const MessageBoxCSS &) = delete;
    MessageBoxCSS &operator=(const MessageBoxCSS &) = delete;

    // Shows the box and returns, once it is closed, the value of the button
    // that closed it (QMessageBox::exec()).
    int exec();

    // Each builds a box with its icon and the flags Qt::Dialog and
    // Qt::MSWindowsFixedSizeDialogHint, runs it and returns exec()'s result.
    static int information(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                           const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                           QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                           int defaultButton);
    static int question(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                        const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                        QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                        int defaultButton);
    static int warning(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                       const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                       QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                       int defaultButton);
    static int critical(QWidget *parent, const QString &title, const QString &text, bool modal, int button0,
                        const QString &buttonText0, QString buttonName0, int button1, const QString &buttonText1,
                        QString buttonName1, int button2, const QString &buttonText2, QString buttonName2,
                        int defaultButton);

private:
    static int run(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text, bool modal,
                   int button0, const QString &buttonText0, QString buttonName0, int button1,
                   const QString &buttonText1, QString buttonName1, int button2, const QString &buttonText2,
                   QString buttonName2, int defaultButton);
    void nameButton(int button, const QString &buttonText, const QString &buttonName);

    // Guarded: the box is also the parent's child and goes when the parent
    // does, possibly while this object still exists.
    QPointer<QMessageBox> messageBox;
};
