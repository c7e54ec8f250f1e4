#include "wizard/qt/qt_frontend.h"

#include <QApplication>
#include <QEventLoop>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QWizard>

#include <algorithm>

#include "wizard/cp1252.h"
#include "resources/resource.h"

namespace {

QtFrontEnd::MessageHook g_messageHook;

QString FromAnsi(const char* text) { return QString::fromStdString(Cp1252ToUtf8(text ? text : "")); }

// The run is synchronous: what it changed is painted at once, and the window
// system gets to expose and move the window, but clicks and keys wait.
void ShowNow(QWidget* widget) {
    widget->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// The common control of Windows 95: a static edge (sunken, one pixel: grey
// above and to the left, white below and to the right), a pixel of face
// inside it, and a run of blocks two thirds as wide as they are high, two
// pixels apart, the last one cut where the position ends. Without the edge
// the empty part of the bar is face on face, and the bar cannot be seen.
class BlockProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect all = rect();
        painter.fillRect(all, palette().color(QPalette::Window));
        // The white lines take the corners but the top-left one.
        painter.fillRect(all.left(), all.top(), all.width() - 1, 1, palette().color(QPalette::Dark));
        painter.fillRect(all.left(), all.top(), 1, all.height() - 1, palette().color(QPalette::Dark));
        painter.fillRect(all.right(), all.top(), 1, all.height(), palette().color(QPalette::Light));
        painter.fillRect(all.left(), all.bottom(), all.width(), 1, palette().color(QPalette::Light));
        const QRect inside = all.adjusted(2, 2, -2, -2);
        const int span = maximum() - minimum();
        if (span <= 0 || value() <= minimum()) return;
        const int end = inside.left() + int((long long)(value() - minimum()) * inside.width() / span);
        const int block = inside.height() * 2 / 3;
        const QColor bar = palette().color(QPalette::Highlight);
        for (int x = inside.left(); x < end; x += block + kGap)
            painter.fillRect(x, inside.top(), std::min(block, end - x), inside.height(), bar);
    }

private:
    static constexpr int kGap = 2;
};

// A message box as MessageBoxA shows one: with Yes and No only it has no
// answer for Escape or the close box, and it ignores both.
class WindowsMessageBox : public QMessageBox {
public:
    WindowsMessageBox(Icon icon, const QString& caption, const QString& text, StandardButtons buttons, QWidget* owner)
        : QMessageBox(icon, caption, text, buttons, owner), escapes_(!(buttons & Yes) || (buttons & Cancel)) {
        if (!escapes_) setWindowFlag(Qt::WindowCloseButtonHint, false);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!escapes_ && event->matches(QKeySequence::Cancel)) return;
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (!escapes_) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

private:
    bool escapes_;
};

// An empty caption stays empty: the window system would otherwise show the
// application's name in its place.
QString Caption(const char* caption) {
    QString text = FromAnsi(caption);
    return text.isEmpty() ? QStringLiteral(" ") : text;
}

int ResultOf(QMessageBox::StandardButton button) {
    switch (button) {
    case QMessageBox::Ok:
        return PLAT_IDOK;
    case QMessageBox::Cancel:
        return PLAT_IDCANCEL;
    case QMessageBox::Yes:
        return PLAT_IDYES;
    case QMessageBox::No:
        return PLAT_IDNO;
    default:
        return 0;
    }
}

}  // namespace

QtFrontEnd::QtFrontEnd(QWidget* fallbackOwner) : fallbackOwner_(fallbackOwner) {}

QtFrontEnd::~QtFrontEnd() {
    for (QPointer<QProgressBar>& bar : bars_) delete bar.data();
}

void QtFrontEnd::SetMessageHook(MessageHook hook) { g_messageHook = std::move(hook); }

int QtFrontEnd::MessageBox(const char* text, const char* caption, unsigned style) {
    QWidget* owner = QApplication::focusWidget() ? QApplication::focusWidget()->window() : fallbackOwner_.data();

    // The buttons in Windows' order; the first is the default. Escape and
    // the close box give Cancel where the box has it, and OK when OK is
    // alone; a Yes/No box ignores them.
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton first = QMessageBox::Ok;
    switch (style & 0xF) {
    case PLAT_MB_OKCANCEL:
        buttons = QMessageBox::Ok | QMessageBox::Cancel;
        break;
    case PLAT_MB_YESNO:
        buttons = QMessageBox::Yes | QMessageBox::No;
        first = QMessageBox::Yes;
        break;
    default:
        break;
    }
    WindowsMessageBox box((style & PLAT_MB_ICONERROR) ? QMessageBox::Critical : QMessageBox::NoIcon, Caption(caption),
                          FromAnsi(text), buttons, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(first);

    QMessageBox::StandardButton pressed;
    if (g_messageHook) {
        pressed = g_messageHook(box);
    } else {
        box.exec();
        pressed = box.standardButton(box.clickedButton());
    }
    // A box that closed unanswered: the answer that starts nothing.
    if (!(buttons & pressed))
        pressed = (buttons & QMessageBox::Cancel) ? QMessageBox::Cancel
                  : (buttons & QMessageBox::No)   ? QMessageBox::No
                                                  : QMessageBox::Ok;
    return ResultOf(pressed);
}

void QtFrontEnd::SetItemText(PlatWindow page, int control, const char* text) {
    QWidget* widget = FromPlatWindow(page);
    if (!widget) return;
    QLabel* label = widget->findChild<QLabel*>(QString::number(control), Qt::FindDirectChildrenOnly);
    if (!label) return;
    label->setText(FromAnsi(text));
    ShowNow(label);
}

void QtFrontEnd::Waiting(const char* text) {
    QWizard* wizard = qobject_cast<QWizard*>(fallbackOwner_.data());
    if (wizard && wizard->currentPage()) SetItemText(ToPlatWindow(wizard->currentPage()), 1001, text);
}

PlatWindow QtFrontEnd::CreateProgressBar(PlatWindow page) {
    QWidget* widget = FromPlatWindow(page);
    if (!widget) return nullptr;
    QProgressBar* bar = new BlockProgressBar(widget);
    const PageRect& at = kProgressBarRect;
    bar->setGeometry(at.x, at.y, at.width, at.height);
    bar->setRange(0, 100);
    bar->setValue(0);
    // The common control has no text in it.
    bar->setTextVisible(false);
    bar->show();
    bars_.emplace_back(bar);
    ShowNow(bar);
    return ToPlatWindow(bar);
}

void QtFrontEnd::SetProgressPos(PlatWindow bar, int position) {
    QProgressBar* progress = qobject_cast<QProgressBar*>(FromPlatWindow(bar));
    if (!progress) return;
    progress->setValue(std::clamp(position, progress->minimum(), progress->maximum()));
    ShowNow(progress);
}

void QtFrontEnd::DestroyWindow(PlatWindow window) {
    for (QPointer<QProgressBar>& bar : bars_) {
        if (bar && ToPlatWindow(bar.data()) == window) {
            QWidget* parent = bar->parentWidget();
            delete bar.data();
            if (parent) ShowNow(parent);
            return;
        }
    }
}

void QtFrontEnd::SetFocus(PlatWindow window) {
    if (QWidget* widget = FromPlatWindow(window)) widget->setFocus();
}

void QtFrontEnd::Launched(const char*, bool) {
    // Nothing to show: a launch that fails is reported by the run itself.
}
