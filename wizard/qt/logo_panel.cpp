#include "wizard/qt/logo_panel.h"

#include <QPainter>

#include <cstdlib>

#include "resources/resource.h"

namespace {

// A pen that draws as GDI's MoveToEx / LineTo do: one pixel wide, every
// pixel of a segment but its end point. The panel only draws horizontal and
// vertical segments.
class GdiPen {
public:
    GdiPen(QPainter& painter, QColor color) : painter_(painter), color_(color) {}
    void MoveTo(int x, int y) { at_ = QPoint(x, y); }
    void SetColor(QColor color) { color_ = color; }
    void LineTo(int x, int y) {
        QPoint to(x, y);
        if (to.y() == at_.y() && to.x() != at_.x()) {
            // The run from at_ toward to, to itself excluded.
            int first = to.x() > at_.x() ? at_.x() : to.x() + 1;
            painter_.fillRect(first, at_.y(), std::abs(to.x() - at_.x()), 1, color_);
        } else if (to.x() == at_.x() && to.y() != at_.y()) {
            int first = to.y() > at_.y() ? at_.y() : to.y() + 1;
            painter_.fillRect(at_.x(), first, 1, std::abs(to.y() - at_.y()), color_);
        }
        at_ = to;
    }

private:
    QPainter& painter_;
    QColor color_;
    QPoint at_;
};

}  // namespace

LogoPanel::LogoPanel(QWidget* page) : QWidget(page) {
    setObjectName(QStringLiteral("BmpWClass"));
    const PageRect& at = kLogoPanelRect;
    setGeometry(at.x, at.y, at.width, at.height);
    // The whole panel is painted every time.
    setAttribute(Qt::WA_OpaquePaintEvent);
    logo_.load(QStringLiteral(":/logo"));
}

void LogoPanel::paintEvent(QPaintEvent*) {
    const int w = width();
    const int h = height();
    QPainter painter(this);
    // The window class's background brush is white: it shows where the
    // frame leaves a pixel out (the bottom-left corner).
    painter.fillRect(rect(), Qt::white);

    // Grey above and to the left, white below and to the right: sunken.
    GdiPen pen(painter, QColor(0x80, 0x80, 0x80));
    pen.MoveTo(0, h - 2);
    pen.LineTo(0, 0);
    pen.LineTo(w, 0);
    pen.SetColor(Qt::white);
    pen.MoveTo(w - 1, 0);
    pen.LineTo(w - 1, h - 1);
    pen.LineTo(0, h - 1);

    // The bitmap fills the inside, stretched by repeating pixels.
    if (!logo_.isNull()) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QRect(1, 1, w - 2, h - 2), logo_);
    }
}
