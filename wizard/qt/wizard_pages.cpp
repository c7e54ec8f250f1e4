#include "wizard/qt/wizard_pages.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLayout>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>
#include <QStyle>
#include <QStyleFactory>

#include <algorithm>

#include "wizard/cp1252.h"
#include "installer/core/setup_state.h"
#include "platform/host/frontend.h"
#include "wizard/qt/logo_panel.h"
#include "wizard/qt/qt_frontend.h"
#include "installer/run_install.h"
#include "resources/wizard_pages.h"

namespace {

// The pages are laid out for the widths of Windows' fonts, or of their
// metric twins (Liberation Sans for Arial, Liberation Serif for Times New
// Roman): the 52 letters A to Z and a to z of the dialog font run 30.3
// times its pixel size, those of the bold italic banner font 29.4 times
// (the limits below are a little over, so that rounding never narrows
// these fonts themselves). Other fonts (DejaVu, on a machine without
// Liberation) run wider, and the texts would break late, run out of their
// controls and out of the page.
constexpr double kDialogLettersPerPixel = 30.5;
constexpr double kBannerLettersPerPixel = 29.6;

// Narrows a font whose letters run wider than the laid-out font's, keeping
// its height: the texts then break and end as they do on Windows.
void FitWidth(QFont& font, double lettersPerPixel) {
    static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const double wanted = lettersPerPixel * QFontInfo(font).pixelSize();
    // Narrowed widths round to whole pixels: a second step or two takes up
    // what the first one left.
    for (int step = 0; step < 4; ++step) {
        const int measured = QFontMetrics(font).horizontalAdvance(letters);
        if (measured <= wanted) return;
        const int stretch = font.stretch() > 0 ? font.stretch() : 100;
        font.setStretch(std::max(1, std::min(stretch - 1, int(stretch * wanted / measured))));
    }
}

// MS Sans Serif 8 point is 11 pixels high on a 96 dpi screen; the
// substitutes come close to its metrics, or are narrowed to them.
QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans")});
    // Windows 95 draws dialog text without smoothing.
    font.setStyleHint(QFont::SansSerif, QFont::NoAntialias);
    font.setPixelSize(11);
    FitWidth(font, kDialogLettersPerPixel);
    return font;
}

// The Windows 95 "Windows Standard" colour scheme.
QPalette ClassicPalette() {
    const QColor face(0xC0, 0xC0, 0xC0);
    QPalette palette(Qt::black, face, Qt::white, QColor(0x80, 0x80, 0x80), QColor(0xA0, 0xA0, 0xA0), Qt::black,
                     Qt::white, Qt::white, face);
    palette.setColor(QPalette::Midlight, QColor(0xDF, 0xDF, 0xDF));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Highlight, QColor(0x00, 0x00, 0x80));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE1));
    palette.setColor(QPalette::ToolTipText, Qt::black);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    return palette;
}

}  // namespace

void ApplyClassicLook() {
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) QApplication::setStyle(style);
    QApplication::setPalette(ClassicPalette());
    QApplication::setFont(DialogFont());
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.ico")));
}

void PaintBanner(QPainter& painter) {
    int height = PlatGetProfileInt(BANNER_SECTION, BANNER_HEIGHT, g_setup.setupFile);
    int x = PlatGetProfileInt(BANNER_SECTION, BANNER_LEFT, g_setup.setupFile);
    int y = PlatGetProfileInt(BANNER_SECTION, BANNER_TOP, g_setup.setupFile);
    QString name = QString::fromStdString(Cp1252ToUtf8(g_setup.productName));
    if (name.isEmpty()) return;

    // Bold italic Times, drawn without smoothing as the draft-quality font
    // of the original is; the height is that of the characters, leading
    // excluded.
    QFont font;
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif")});
    font.setStyleHint(QFont::Serif, QFont::NoAntialias);
    font.setWeight(QFont::Bold);
    font.setItalic(true);
    if (height > 0) font.setPixelSize(height);
    FitWidth(font, kBannerLettersPerPixel);

    painter.save();
    painter.setFont(font);
    painter.setBackgroundMode(Qt::TransparentMode);
    // (x, y) is the top-left corner of the text cell.
    int baseline = QFontMetrics(font).ascent();
    painter.setPen(QColor(0x00, 0x00, 0xFF));
    painter.drawText(x, y + baseline, name);
    painter.setPen(Qt::white);
    painter.drawText(x - 1, y - 1 + baseline, name);
    painter.restore();
}

// ---------------------------------------------------------------- pages

BannerPage::BannerPage(int widthUnits, int heightUnits, QWidget* parent)
    : QWizardPage(parent),
      templateSize_(DialogUnitsX(widthUnits), DialogUnitsY(heightUnits)),
      panel_(new LogoPanel(this)) {
    setFixedSize(templateSize_);
}

QLabel* BannerPage::Control(int id) const {
    return findChild<QLabel*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

QLabel* BannerPage::AddText(const char* text, int x, int y, int width, int height, int id) {
    QLabel* label = new QLabel(QString::fromStdString(Cp1252ToUtf8(text)), this);
    if (id != -1) label->setObjectName(QString::number(id));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setMargin(0);
    label->setIndent(0);
    // A static control paints its own background over the page's.
    label->setAutoFillBackground(true);
    label->setGeometry(DialogUnitsX(x), DialogUnitsY(y), DialogUnitsX(width), DialogUnitsY(height));
    return label;
}

void BannerPage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintBanner(painter);
}

// A static text of a page, as resources/wizard_pages.h lists them.
#define ADD_PAGE_TEXT(text, id, x, y, width, height, style) AddText(text, x, y, width, height, id);

WelcomePage::WelcomePage(QWidget* parent) : BannerPage(WELCOME_PAGE_WIDTH, WELCOME_PAGE_HEIGHT, parent) {
    WELCOME_PAGE_TEXTS(ADD_PAGE_TEXT)
}

FinishPage::FinishPage(QWidget* parent) : BannerPage(FINISH_PAGE_WIDTH, FINISH_PAGE_HEIGHT, parent) {
    FINISH_PAGE_TEXTS(ADD_PAGE_TEXT)
}

// ---------------------------------------------------------------- the sheet

VorelWizard::VorelWizard(QWidget* parent) : QWizard(parent), welcome_(new WelcomePage), finish_(new FinishPage) {
    setWizardStyle(QWizard::ClassicStyle);
    setWindowTitle(QString::fromStdString(Cp1252ToUtf8(WIZARD_CAPTION)));
    setWindowIcon(QIcon(QStringLiteral(":/icon.ico")));
    // The sheet's row on every page: "< Back" and "Next >" or "Finish" side
    // by side, Cancel apart; Back shows greyed on the first page.
    setOptions(QWizard::WizardOptions());
    setButtonLayout(
        {QWizard::Stretch, QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton, QWizard::CancelButton});
    // The sheet's Finish button has no mnemonic.
    setButtonText(QWizard::FinishButton, QStringLiteral("Finish"));
    // Both pages fill the sheet above its etched line.
    const QSize page(Sheet::kWidth - 2 * Sheet::kMargin,
                     Sheet::kSeparatorY - (Sheet::kButtonY - Sheet::kSeparatorY - 2));
    welcome_->setFixedSize(page);
    finish_->setFixedSize(page);
    setPage(kWelcomePageId, welcome_);
    setPage(kFinishPageId, finish_);
    setStartId(kWelcomePageId);
    // As in a Windows dialog, Enter presses the push button that has the
    // focus, and the page's default button (Next, Finish) when the focus is
    // elsewhere; the default button carries the thick frame.
    for (QWizard::WizardButton which :
         {QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton, QWizard::CancelButton}) {
        if (auto* push = qobject_cast<QPushButton*>(button(which))) push->setAutoDefault(true);
        button(which)->setFixedSize(Sheet::kButtonWidth, Sheet::kButtonHeight);
    }
    connect(this, &QWizard::currentIdChanged, this, [this](int) {
        ApplySheetGeometry();
        FocusDefaultButton();
    });
    ApplySheetGeometry();
}

void VorelWizard::ApplySheetGeometry() {
    // QWizard's own layout: a grid (page, line, button row) on its one
    // direct child that has a layout.
    QGridLayout* grid = nullptr;
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if ((grid = qobject_cast<QGridLayout*>(child->layout()))) break;
    if (!grid) return;
    // The page at the top, the gap above the line as below it.
    const int gap = Sheet::kButtonY - Sheet::kSeparatorY - 2;
    grid->setContentsMargins(Sheet::kMargin, 0, Sheet::kMargin, Sheet::kMargin);
    grid->setVerticalSpacing(0);
    for (int i = 0; i < grid->count(); ++i) {
        int at, column, rows, columns;
        grid->getItemPosition(i, &at, &column, &rows, &columns);
        QWidget* widget = grid->itemAt(i)->widget();
        // The line: the one widget of the grid below the page, between two
        // empty rows.
        if (widget && at > 0) {
            grid->setRowMinimumHeight(at - 1, gap);
            grid->setRowMinimumHeight(at + 1, gap);
        }
        auto* row = qobject_cast<QHBoxLayout*>(grid->itemAt(i)->layout());
        if (!row || row->indexOf(button(QWizard::CancelButton)) < 0) continue;
        // Back and Next touch; Cancel stands apart.
        row->setSpacing(0);
        int cancel = row->indexOf(button(QWizard::CancelButton));
        QSpacerItem* before = row->itemAt(cancel - 1)->spacerItem();
        if (!before || before->sizeHint().width() != Sheet::kCancelGap) row->insertSpacing(cancel, Sheet::kCancelGap);
    }
    setFixedSize(Sheet::kWidth, Sheet::kHeight);
}

void VorelWizard::Centre() {
    // The frame as the window system reports it; none before the window is
    // first mapped.
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const QSize outer = size().grownBy(frame);
    const QRect area = screen()->availableGeometry();
    move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

void VorelWizard::showEvent(QShowEvent* event) {
    ApplySheetGeometry();
    if (!event->spontaneous()) Centre();
    QWizard::showEvent(event);
    FocusDefaultButton();
}

QSize VorelWizard::sizeHint() const { return QSize(Sheet::kWidth, Sheet::kHeight); }

void VorelWizard::FocusDefaultButton() {
    // After a page change the focus is on the page's default button, as the
    // property sheet puts it there.
    QAbstractButton* target = button(currentId() == kFinishPageId ? QWizard::FinishButton : QWizard::NextButton);
    if (target->isVisible() && target->isEnabled()) target->setFocus(Qt::OtherFocusReason);
}

void VorelWizard::ShowInstallingButtons() {
    // The row stays where it is, every button greyed: the run takes no
    // input until it ends.
    for (QWizard::WizardButton which :
         {QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton, QWizard::CancelButton})
        button(which)->setEnabled(false);
    // The change shows at once although the run holds the event loop.
    repaint();
}

void VorelWizard::accept() {
    if (installing_ || installed_ || currentId() != kFinishPageId) return;
    installing_ = true;
    ShowInstallingButtons();
    {
        QtFrontEnd front(this);
        PlatFrontEndGuard guard(&front);
        RunInstall(ToPlatWindow(finish_));
    }
    installing_ = false;
    installed_ = true;
    QWizard::accept();
}

void VorelWizard::reject() {
    // Nothing stops a run half way.
    if (installing_) return;
    QWizard::reject();
}
