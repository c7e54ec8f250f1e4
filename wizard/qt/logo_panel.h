// The logo panel at the left of each wizard page: the vendor bitmap
// stretched into a sunken one-pixel frame (the window class "BmpWClass" of
// the Windows wizard).
#ifndef VSETUP_WIZARD_QT_LOGO_PANEL_H
#define VSETUP_WIZARD_QT_LOGO_PANEL_H

#include <QImage>
#include <QWidget>

class LogoPanel : public QWidget {
public:
    // Places the panel on page at kLogoPanelRect and loads the bitmap from
    // the resource ":/logo"; painting uses what was loaded then.
    explicit LogoPanel(QWidget* page);

    // The loaded bitmap; null when the resource could not be read (the
    // panel then shows its frame on white).
    const QImage& Logo() const { return logo_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage logo_;
};

#endif
