#pragma once

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
class InstallerWindow;

// The installer window's widget tree. The widgets are Qt children of the window
// and die with it; this structure only points at them.
class Ui_InstallerWindow
{
public:
    QWidget *centralwidget = nullptr;
    QPushButton *buttonCancel = nullptr;
    QLabel *label = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *label_2 = nullptr;

    // Builds the widgets on `window` and connects its on_<name>_<signal> slots.
    void setupUi(InstallerWindow *window);
    // Sets the window's texts.
    void retranslateUi(InstallerWindow *window);
};

namespace Ui {
class InstallerWindow : public Ui_InstallerWindow
{
};
} // namespace Ui
