// The windowed wizard on the host: the two pages of the Windows wizard,
// drawn in the look of Windows 95, around the installation run that every
// front end shares.
#ifndef VSETUP_WIZARD_QT_WIZARD_PAGES_H
#define VSETUP_WIZARD_QT_WIZARD_PAGES_H

#include <QLabel>
#include <QWizard>
#include <QWizardPage>

#include "resources/resource.h"

class QPainter;
class LogoPanel;

// The pages' ids: the numbers of their dialog templates.
enum { kWelcomePageId = IDD_WELCOME, kFinishPageId = IDD_FINISH };

// The property sheet around the pages, in pixels, as the Windows build
// shows it: the client area, the etched line above the buttons, and the
// button row ("< Back" and "Next >" or "Finish" side by side, Cancel apart).
namespace Sheet {
constexpr int kWidth = 470, kHeight = 277;
constexpr int kMargin = 12;       // left, right and below the buttons
constexpr int kSeparatorY = 233;  // the etched line, two pixels high
constexpr int kButtonY = 244;
constexpr int kButtonWidth = 83, kButtonHeight = 21;
constexpr int kCancelGap = 11;  // between "Next >" or "Finish" and Cancel
}  // namespace Sheet

// Dialog units of the pages' font (MS Sans Serif 8 point) in pixels,
// rounded as MapDialogRect does.
inline int DialogUnitsX(int units) { return (units * 6 + 2) / 4; }
inline int DialogUnitsY(int units) { return (units * 13 + 4) / 8; }

// Sets the application's style, palette, font and icon to those of the
// Windows 95 wizard.
void ApplyClassicLook();

// Draws the product name as the pages' banner: a blue shadow under white
// letters, placed and sized by [Banner] of the setup file, read now.
void PaintBanner(QPainter& painter);

// A page laid out as its dialog template (resources/wizard_pages.h): static
// texts at dialog-unit positions, the logo panel, the banner painted behind them.
class BannerPage : public QWizardPage {
public:
    // The page's size as its template gives it, in pixels.
    QSize TemplateSize() const { return templateSize_; }
    LogoPanel* Panel() const { return panel_; }
    // The static text with the given control id, or null.
    QLabel* Control(int id) const;

protected:
    BannerPage(int widthUnits, int heightUnits, QWidget* parent);
    // An LTEXT control: left-aligned, word-wrapped, at dialog units; text in
    // Windows-1252, id IDC_STATIC for a control never addressed.
    QLabel* AddText(const char* text, int x, int y, int width, int height, int id);
    void paintEvent(QPaintEvent* event) override;

private:
    QSize templateSize_;
    LogoPanel* panel_;
};

class WelcomePage : public BannerPage {
public:
    explicit WelcomePage(QWidget* parent = nullptr);
};

class FinishPage : public BannerPage {
public:
    explicit FinishPage(QWidget* parent = nullptr);
};

// The sheet: title "Vorel Setup Wizard", the welcome page with Next (Back
// greyed), the finish page with Back and Finish, Cancel on both. Finish runs the
// installation; Cancel and the close box end the wizard without it.
class VorelWizard : public QWizard {
public:
    explicit VorelWizard(QWidget* parent = nullptr);

    WelcomePage* Welcome() const { return welcome_; }
    FinishPage* Finish() const { return finish_; }
    // Every button greyed in its place: the row while the run goes on.
    void ShowInstallingButtons();
    bool Installing() const { return installing_; }

    QSize sizeHint() const override;
    void accept() override;
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FocusDefaultButton();
    // Puts the sheet, frame included, in the middle of its screen's work
    // area, as Windows places a property sheet whose owner is hidden.
    // QDialog's own placement takes the title bar for 40 pixels and so
    // leaves the sheet that much above the middle.
    void Centre();
    // Lays the sheet out as Sheet gives it; QWizard redoes its layout now
    // and then, so this runs again after each change.
    void ApplySheetGeometry();

    WelcomePage* welcome_;
    FinishPage* finish_;
    bool installing_ = false;
    bool installed_ = false;
};

#endif
