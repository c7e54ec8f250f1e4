// The dialogue services of the windowed wizard: what the installation run
// shows while it works (status lines, progress bar, message boxes).
#ifndef VSETUP_WIZARD_QT_QT_FRONTEND_H
#define VSETUP_WIZARD_QT_QT_FRONTEND_H

#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>
#include <functional>
#include <vector>

#include "platform/host/frontend.h"

// The window handles that pass through the platform are QWidget pointers.
inline PlatWindow ToPlatWindow(QWidget* widget) { return static_cast<PlatWindow>(widget); }
inline QWidget* FromPlatWindow(PlatWindow window) { return static_cast<QWidget*>(window); }

class QtFrontEnd : public PlatFrontEnd {
public:
    // Answers a message box instead of the user: gets the box ready to be
    // shown (caption, text, buttons, icon) and returns the button pressed,
    // or QMessageBox::NoButton for Escape or the close box where the box
    // takes them.
    using MessageHook = std::function<QMessageBox::StandardButton(QMessageBox& box)>;

    // fallbackOwner owns the message boxes when no window has the focus.
    explicit QtFrontEnd(QWidget* fallbackOwner);
    ~QtFrontEnd() override;

    int MessageBox(const char* text, const char* caption, unsigned style) override;
    void SetItemText(PlatWindow page, int control, const char* text) override;
    PlatWindow CreateProgressBar(PlatWindow page) override;
    void SetProgressPos(PlatWindow bar, int position) override;
    // Destroys a progress bar of this front end's; other windows belong to
    // the wizard and stay.
    void DestroyWindow(PlatWindow window) override;
    void SetFocus(PlatWindow window) override;
    void Launched(const char* commandLine, bool started) override;
    // Shows the text in the first status line of the wizard's current page.
    void Waiting(const char* text) override;

    // Replaces the user for every front end's message boxes; an empty hook
    // shows them again.
    static void SetMessageHook(MessageHook hook);

private:
    QPointer<QWidget> fallbackOwner_;
    std::vector<QPointer<QProgressBar>> bars_;
};

#endif
