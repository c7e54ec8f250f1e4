#include "wizard/qt/qt_frontend.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QWizard>

#include <algorithm>

#include "core/cp1252.h"

namespace {

QtFrontEnd::MessageHook g_messageHook;

QString FromAnsi(const char* text) { return QString::fromStdString(Cp1252ToUtf8(text ? text : "")); }

// The run is synchronous: what it changed is painted at once, and the window
// system gets to expose and move the window, but clicks and keys wait.
void ShowNow(QWidget* widget) {
    widget->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

int ResultOf(QMessageBox::StandardButton button) {
    switch (button) {
    case QMessageBox::Ok: return PLAT_IDOK;
    case QMessageBox::Cancel: return PLAT_IDCANCEL;
    case QMessageBox::Yes: return PLAT_IDYES;
    case QMessageBox::No: return PLAT_IDNO;
    default: return 0;
    }
}

}  // namespace

QtFrontEnd::QtFrontEnd(QWidget* fallback_owner) : fallbackOwner_(fallback_owner) {}

QtFrontEnd::~QtFrontEnd() {
    for (QPointer<QProgressBar>& bar : bars_) delete bar.data();
}

void QtFrontEnd::SetMessageHook(MessageHook hook) { g_messageHook = std::move(hook); }

int QtFrontEnd::MessageBox(const char* text, const char* caption, unsigned style) {
    QWidget* owner = QApplication::focusWidget() ? QApplication::focusWidget()->window() : fallbackOwner_.data();

    // The buttons in Windows' order; the first is the default, and Escape or
    // the close box gives the last one's answer (OK when it is alone).
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton first = QMessageBox::Ok;
    QMessageBox::StandardButton escape = QMessageBox::Ok;
    switch (style & 0xF) {
    case PLAT_MB_OKCANCEL:
        buttons = QMessageBox::Ok | QMessageBox::Cancel;
        escape = QMessageBox::Cancel;
        break;
    case PLAT_MB_YESNO:
        buttons = QMessageBox::Yes | QMessageBox::No;
        first = QMessageBox::Yes;
        escape = QMessageBox::No;
        break;
    default:
        break;
    }
    QMessageBox box((style & PLAT_MB_ICONERROR) ? QMessageBox::Critical : QMessageBox::NoIcon, FromAnsi(caption),
                    FromAnsi(text), buttons, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(first);
    box.setEscapeButton(escape);

    QMessageBox::StandardButton pressed;
    if (g_messageHook) {
        pressed = g_messageHook(box);
    } else {
        box.exec();
        pressed = box.standardButton(box.clickedButton());
    }
    if (pressed == QMessageBox::NoButton || !(buttons & pressed)) pressed = escape;
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
    QProgressBar* bar = new QProgressBar(widget);
    bar->setGeometry(165, 200, 275, 18);
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
