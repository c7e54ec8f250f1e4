// The Qt wizard driven through its widgets and keys on the offscreen
// platform: the sheet's geometry and pixels beside those of VSETUP.EXE's
// property sheet as Wine draws it (client area, in pixels), page flow,
// Enter, Tab, Escape, Cancel and the close box, a whole installation, the
// message boxes answered as Windows does, the banner and the logo panel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDirIterator>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "wizard/host_frontends.h"
#include "wizard/qt/logo_panel.h"
#include "wizard/qt/qt_frontend.h"
#include "wizard/qt/wizard_pages.h"

// Qt strings in the failure messages as text.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

const QString kSource = QStringLiteral(VSETUP_SOURCE_DIR);
const QRgb kBlack = qRgb(0, 0, 0), kWhite = qRgb(255, 255, 255), kFace = qRgb(0xC0, 0xC0, 0xC0),
           kGrey = qRgb(0x80, 0x80, 0x80), kMid = qRgb(0xA0, 0xA0, 0xA0), kBlue = qRgb(0, 0, 255),
           kNavy = qRgb(0, 0, 0x80);

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// Every entry below root with its contents.
std::map<QString, QByteArray> Snapshot(const QString& root) {
    std::map<QString, QByteArray> tree;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        QString path = it.next();
        tree[path] = it.fileInfo().isSymLink() ? it.fileInfo().symLinkTarget().toUtf8() : ReadAll(path);
    }
    return tree;
}

QImage Grab(QWidget* widget) { return widget->grab().toImage().convertToFormat(QImage::Format_RGB32); }

// The bounds of the pixels of one colour, outside the rectangle left out.
QRect Ink(const QImage& image, QRgb color, const QRect& left_out) {
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!left_out.contains(x, y) && image.pixel(x, y) == color) bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// count pixels from `from` on, one `step` apart, as characters: face '.',
// black '#', white 'w', grey 'g', mid grey 'm', navy 'n', anything else '?'.
QString Chars(const QImage& image, QPoint from, QPoint step, int count) {
    const std::map<QRgb, char> kNames = {{kFace, '.'}, {kBlack, '#'}, {kWhite, 'w'},
                                         {kGrey, 'g'}, {kMid, 'm'},   {kNavy, 'n'}};
    QString out;
    for (QPoint p = from; count-- > 0; p += step) {
        auto name = kNames.find(image.pixel(p));
        out += name == kNames.end() ? '?' : name->second;
    }
    return out;
}

// The visible buttons of the row: text, place in the sheet, size, and
// " off" when greyed.
QString RowOf(QWizard& wizard) {
    QStringList shown;
    for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton, QWizard::CancelButton}) {
        QAbstractButton* button = wizard.button(which);
        QPoint at = button->mapTo(&wizard, QPoint());
        if (button->isVisible())
            shown << QString("%1 %2,%3 %4x%5%6")
                         .arg(button->text())
                         .arg(at.x())
                         .arg(at.y())
                         .arg(button->width())
                         .arg(button->height())
                         .arg(button->isEnabled() ? "" : " off");
    }
    return shown.join(" | ");
}

void Click(QWizard& wizard, QWizard::WizardButton which) { QTest::mouseClick(wizard.button(which), Qt::LeftButton); }

// As vsetup starts: a scratch prefix whose drive A: is the example disk,
// the disk the current directory, the setup state read from it. Message
// boxes are recorded ("caption|text|buttons|icon|default button") and
// answered No.
class QtWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = scratch_.filePath("prefix");
        const QString disk = kSource + "/examples/disk1";
        ASSERT_TRUE(QDir().mkpath(prefix_ + "/dosdevices"));
        ASSERT_TRUE(QFile::link(disk, prefix_ + "/dosdevices/a:"));
        qputenv("VSETUP_PREFIX", prefix_.toLocal8Bit());
        ASSERT_NE(PlatStartup(), 0) << PlatStartupError();
        ASSERT_TRUE(QDir::setCurrent(disk));
        g_setup = SetupState();
        InitSetupState();
        QtFrontEnd::SetMessageHook([this](QMessageBox& box) { return Record(box); });
    }
    void TearDown() override {
        QtFrontEnd::SetMessageHook({});
        PlatShutdown();
        ASSERT_TRUE(QDir::setCurrent(startDir_));
    }
    QMessageBox::StandardButton Record(QMessageBox& box) {
        shown_ << QString("%1|%2|%3|%4|%5")
                      .arg(box.windowTitle(), box.text())
                      .arg(int(box.standardButtons()))
                      .arg(int(box.icon()))
                      .arg(box.defaultButton() ? box.defaultButton()->text() : "");
        owner_ = box.parentWidget();
        return QMessageBox::No;
    }

    QTemporaryDir scratch_;
    const QString startDir_ = QDir::currentPath();
    QString prefix_;
    QStringList shown_;
    QWidget* owner_ = nullptr;
};

TEST_F(QtWizardTest, TheSheetItsPagesAndItsButtonRow) {
    VorelWizard wizard;
    wizard.show();
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Vorel Setup Wizard"));
    EXPECT_FALSE(wizard.windowIcon().isNull());
    EXPECT_EQ(wizard.size(), QSize(470, 277));
    EXPECT_LE((wizard.geometry().center() - wizard.screen()->availableGeometry().center()).manhattanLength(), 1);
    EXPECT_EQ(wizard.currentId(), kWelcomePageId);
    EXPECT_EQ(RowOf(wizard), "< &Back 198,244 83x21 off | &Next > 281,244 83x21 | Cancel 375,244 83x21");
    Click(wizard, QWizard::NextButton);
    EXPECT_EQ(wizard.currentId(), kFinishPageId);
    EXPECT_EQ(RowOf(wizard), "< &Back 198,244 83x21 | Finish 281,244 83x21 | Cancel 375,244 83x21");

    // The etched line at 233 from x 12 to 457; Finish's default frame at
    // the top of the row, where Back starts with its white edge.
    QImage sheet = Grab(&wizard);
    EXPECT_EQ(Chars(sheet, {11, 233}, {1, 0}, 2) + Chars(sheet, {456, 233}, {1, 0}, 3), ".mmw.");
    EXPECT_EQ(Chars(sheet, {300, 231}, {0, 1}, 15), "..mw.........#w");
    EXPECT_EQ(Chars(sheet, {240, 231}, {0, 1}, 15), "..mw..........w");

    Click(wizard, QWizard::BackButton);
    EXPECT_EQ(wizard.currentId(), kWelcomePageId);
    EXPECT_TRUE(wizard.isVisible());

    // Both pages fill the sheet above its line, whole in the window; every
    // control lies on its page, and every text fits its control unclipped,
    // in two colours, unsmoothed.
    for (BannerPage* page :
         {static_cast<BannerPage*>(wizard.welcomePage()), static_cast<BannerPage*>(wizard.finishPage())}) {
        EXPECT_EQ(page->size(), QSize(446, 224));
        EXPECT_TRUE(wizard.rect().contains(QRect(page->mapTo(&wizard, QPoint()), page->size())));
        QImage image = Grab(page);
        std::set<QRgb> colours;
        for (QWidget* child : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(page->rect().contains(child->geometry()));
            auto* label = qobject_cast<QLabel*>(child);
            if (!label) continue;
            QSize needed = label->fontMetrics().boundingRect(label->rect(), Qt::TextWordWrap, label->text()).size();
            EXPECT_TRUE(label->rect().contains(QRect(QPoint(), needed))) << label->text().toStdString();
            for (int y = label->y(); y <= label->geometry().bottom(); ++y)
                for (int x = label->x(); x <= label->geometry().right(); ++x) colours.insert(image.pixel(x, y));
        }
        EXPECT_EQ(colours, (std::set<QRgb>{kBlack, kFace}));
    }
}

TEST_F(QtWizardTest, EnterPressesTheFocusedButtonAndNoWayOutTouchesAnything) {
    // Steps: keys (enter, tab, backtab, escape, alt-n), clicks on next and
    // cancel, and the close box. Each page gives its default button the
    // focus; Tab walks the row, Enter presses the focused button.
    const struct {
        const char* steps;
        const char* end;
    } ways[] = {
        {"enter", "finish"},
        {"tab enter", "cancelled"},          // Next, Cancel
        {"alt-n tab enter", "cancelled"},    // Finish, Cancel
        {"alt-n backtab enter", "welcome"},  // Finish, Back
        {"cancel", "cancelled"},
        {"next cancel", "cancelled"},
        {"close", "cancelled"},
        {"next close", "cancelled"},
        {"escape", "cancelled"},
        {"next escape", "cancelled"},
        {"enter enter", "installed"},  // Next, then Finish
    };
    const auto before = Snapshot(prefix_);
    for (const auto& way : ways) {
        SCOPED_TRACE(way.steps);
        VorelWizard wizard;
        wizard.show();
        QApplication::setActiveWindow(&wizard);
        EXPECT_EQ(QApplication::focusWidget(), wizard.button(QWizard::NextButton));
        for (const QString& step : QString::fromLatin1(way.steps).split(' ')) {
            QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : &wizard;
            if (step == "next" || step == "cancel")
                Click(wizard, step == "next" ? QWizard::NextButton : QWizard::CancelButton);
            else if (step == "close")
                wizard.close();
            else if (step == "backtab")
                QTest::keyClick(focus, Qt::Key_Backtab, Qt::ShiftModifier);
            else if (step != "alt-n")
                QTest::keyClick(focus, step == "enter" ? Qt::Key_Return : step == "tab" ? Qt::Key_Tab : Qt::Key_Escape);
            if (step != "alt-n") continue;
            // The mnemonic presses Next as a click would, a moment later.
            QTest::keyClick(focus, Qt::Key_N, Qt::AltModifier);
            QTRY_COMPARE_WITH_TIMEOUT(wizard.currentId(), int(kFinishPageId), 1000);
            EXPECT_EQ(QApplication::focusWidget(), wizard.button(QWizard::FinishButton));
        }
        const char* end = wizard.isVisible() ? (wizard.currentId() == kWelcomePageId ? "welcome" : "finish")
                          : wizard.result() == QDialog::Accepted ? "installed"
                                                                 : "cancelled";
        EXPECT_STREQ(end, way.end);
        if (std::strcmp(end, "installed") == 0) continue;
        EXPECT_TRUE(shown_.isEmpty());
        EXPECT_EQ(Snapshot(prefix_), before);
    }
}

TEST_F(QtWizardTest, FinishInstallsTheExampleDiskShowingEveryFile) {
    VorelWizard wizard;
    wizard.show();
    Click(wizard, QWizard::NextButton);

    // What the status line and the bar showed, as they were painted.
    struct PaintLog : QObject {
        std::set<QString> destinations;
        std::vector<int> positions;
        bool eventFilter(QObject* object, QEvent* event) override {
            if (event->type() != QEvent::Paint) return false;
            if (object->objectName() == "1002") destinations.insert(static_cast<QLabel*>(object)->text());
            if (auto* bar = qobject_cast<QProgressBar*>(object)) positions.push_back(bar->value());
            return false;
        }
    } painted;
    qApp->installEventFilter(&painted);
    // Enter and Escape wait in the queue when Finish is pressed; the run
    // lets them through as it paints, and they answer nothing. During the
    // run the three buttons stay, greyed, and the close box does nothing;
    // the run ends with no bar, the prompt up and unanswered when the user
    // gets to it.
    for (int key : {Qt::Key_Return, Qt::Key_Escape})
        QCoreApplication::postEvent(&wizard, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    QString duringRun;
    QtFrontEnd::SetMessageHook([&](QMessageBox& box) {
        wizard.close();
        box.show();
        QTest::qWait(50);
        duringRun = QString("%1 bars:%2 prompt up:%3 answered:%4")
                        .arg(RowOf(wizard))
                        .arg(wizard.findChildren<QProgressBar*>().size())
                        .arg(box.isVisible())
                        .arg(box.clickedButton() != nullptr);
        return Record(box);
    });
    Click(wizard, QWizard::FinishButton);
    qApp->removeEventFilter(&painted);

    EXPECT_EQ(duringRun,
              "< &Back 198,244 83x21 off | Finish 281,244 83x21 off | Cancel 375,244 83x21 off bars:0 prompt up:1 "
              "answered:0");
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    // A clean run shows one box, the completion prompt, Yes its default.
    EXPECT_EQ(shown_, QStringList{QString("Vorel Velocity 3D|Setup is complete.\n\nWould you like to run Display "
                                          "control panel right now?|%1|%2|&Yes")
                                      .arg(int(QMessageBox::Yes | QMessageBox::No))
                                      .arg(int(QMessageBox::NoIcon))});
    EXPECT_EQ(owner_, &wizard);

    // Each of the disk's twelve files was painted while it was copied, and
    // the bar after each, never going back.
    painted.destinations.erase(QString());
    EXPECT_EQ(painted.destinations.size(), 12u);
    EXPECT_TRUE(painted.destinations.count("To : c:\\windows\\inf\\oemsetup.inf"));
    EXPECT_GE(painted.positions.size(), 12u);
    EXPECT_TRUE(std::is_sorted(painted.positions.begin(), painted.positions.end()));
    EXPECT_GE(painted.positions.empty() ? 0 : painted.positions.back(), 90);
    EXPECT_TRUE(wizard.finishPage()->control(1002)->text().isEmpty());

    const QString windows = prefix_ + "/drive_c/WINDOWS/", source = kSource + "/examples/src/";
    EXPECT_EQ(ReadAll(windows + "SYSTEM/vorel.drv"), ReadAll(source + "vorel.drv"));
    EXPECT_EQ(ReadAll(windows + "SYSTEM/vorelx.dll"), ReadAll(source + "vorelx.dll"));
    EXPECT_EQ(ReadAll(windows + "INF/oemsetup.inf"), ReadAll(source + "vorel.inf"));
    QByteArray systemIni = ReadAll(windows + "system.ini");
    EXPECT_TRUE(systemIni.contains("[boot.description]\r\ndisplay.drv=Vorel Velocity 3D")) << systemIni.data();

    // The bar is in blocks two thirds as wide as it is high, two pixels
    // apart, the last one cut where the position ends.
    QtFrontEnd front(&wizard);
    PlatWindow bar = front.CreateProgressBar(ToPlatWindow(wizard.finishPage()));
    front.SetProgressPos(bar, 50);
    QImage blocks = Grab(FromPlatWindow(bar));
    EXPECT_EQ(Chars(blocks, {0, blocks.height() / 2}, {1, 0}, 40), ".nnnnnnnnnn..nnnnnnnnnn..nnnnnnnnnn..nnn");
}

TEST_F(QtWizardTest, MessageBoxesAnswerAsWindowsDoes) {
    // A prefix that cannot be prepared is shown in an error box.
    ShowStartupFailure("cannot make the prefix: Permission denied");
    EXPECT_EQ(shown_, QStringList{QString("Error|cannot make the prefix: Permission denied|%1|%2|OK")
                                      .arg(int(QMessageBox::Ok))
                                      .arg(int(QMessageBox::Critical))});

    // Real boxes, worked by steps once they are up; after each step the
    // trace notes whether the box is still up.
    QtFrontEnd::SetMessageHook({});
    VorelWizard wizard;
    wizard.show();
    QtFrontEnd front(&wizard);
    const auto yesNo = QMessageBox::Yes | QMessageBox::No, okCancel = QMessageBox::Ok | QMessageBox::Cancel;
    const struct {
        unsigned style;
        const char* caption;
        const char* steps;  // return, escape, close (the close box), no (a click)
        int answer;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon;
        const char* trace;
    } cases[] = {
        {PLAT_MB_YESNO, "caption", "return", PLAT_IDYES, yesNo, QMessageBox::NoIcon, "-"},
        {PLAT_MB_YESNO, "caption", "no", PLAT_IDNO, yesNo, QMessageBox::NoIcon, "-"},
        // A Yes/No box ignores Escape and the close box; no caption stays none.
        {PLAT_MB_YESNO, "", "escape close no", PLAT_IDNO, yesNo, QMessageBox::NoIcon, "++-"},
        {PLAT_MB_OKCANCEL, "caption", "escape", PLAT_IDCANCEL, okCancel, QMessageBox::NoIcon, "-"},
        {PLAT_MB_OKCANCEL, "caption", "close", PLAT_IDCANCEL, okCancel, QMessageBox::NoIcon, "-"},
        {PLAT_MB_OKCANCEL, "caption", "return", PLAT_IDOK, okCancel, QMessageBox::NoIcon, "-"},
        {PLAT_MB_OK | PLAT_MB_ICONERROR, "caption", "escape", PLAT_IDOK, QMessageBox::Ok, QMessageBox::Critical, "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        QString offered, trace;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            offered = QString("%1 %2 %3 [%4]")
                          .arg(int(box->standardButtons()))
                          .arg(int(box->icon()))
                          .arg(box->parentWidget() == &wizard)
                          .arg(box->windowTitle().trimmed());
            for (const QString& step : QString::fromLatin1(c.steps).split(' ')) {
                if (step == "close")
                    box->close();
                else if (step == "no")
                    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
                else
                    QTest::keyClick(box, step == "escape" ? Qt::Key_Escape : Qt::Key_Return);
                trace += box->isVisible() ? '+' : '-';
            }
        });
        EXPECT_EQ(front.MessageBox("text", c.caption, c.style), c.answer);
        EXPECT_EQ(offered, QString("%1 %2 1 [%3]").arg(int(c.buttons)).arg(int(c.icon)).arg(c.caption));
        EXPECT_EQ(trace, c.trace);
    }
}

TEST_F(QtWizardTest, TheBannerFollowsSetupDatAtEveryPaintBesideTheFramedLogo) {
    // A disk of its own whose setup.dat changes between paints.
    const QString disk = scratch_.filePath("disk");
    ASSERT_TRUE(QDir().mkpath(disk) && QDir::setCurrent(disk));
    g_setup = SetupState();
    InitSetupState();
    std::strcpy(g_setup.productName, "Vorel Velocity 3D");
    VorelWizard wizard;
    wizard.show();
    WelcomePage* page = wizard.welcomePage();
    const QRect panel = page->logoPanel()->geometry();
    auto paintWith = [&](const QByteArray& banner) {
        QFile file(disk + "/setup.dat");
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(banner) == banner.size());
        file.close();
        return Grab(page);
    };

    // Defaults: 36 pixels at (150, 10), the text cell's top-left corner;
    // white letters one pixel up and left of their blue shadow.
    QImage plain = paintWith("");
    QRect blue = Ink(plain, kBlue, panel), white = Ink(plain, kWhite, panel);
    EXPECT_GE(blue.left(), 150);
    EXPECT_GE(blue.top(), 10);
    EXPECT_LT(blue.top(), 10 + 36 / 2);
    EXPECT_GT(blue.height(), 24);
    EXPECT_EQ(white.bottomRight(), blue.bottomRight() - QPoint(1, 1));

    QRect small = Ink(paintWith("[Banner]\r\nFontHi=20\r\n"), kBlue, panel);
    EXPECT_GE(small.top(), 10);
    EXPECT_GT(small.height(), 10);
    EXPECT_LE(small.height(), 20 + 4);
    EXPECT_LT(small.width(), blue.width() * 2 / 3);

    // At (0, 0) the same letters, moved by exactly (-150, -10): compared
    // right of the panel and above the texts.
    QImage corner = paintWith("[Banner]\r\nStartX=0\r\nStartY=0\r\n");
    int bannerPixels = 0, mismatches = 0;
    for (int y = 0; y < 55; ++y) {
        for (int x = panel.right() + 1; x + 150 < plain.width(); ++x) {
            QRgb moved = corner.pixel(x, y), there = plain.pixel(x + 150, y + 10);
            bannerPixels += moved == kBlue || moved == kWhite;
            mismatches += (moved == kBlue || moved == kWhite || there == kBlue || there == kWhite) && moved != there;
        }
    }
    EXPECT_GT(bannerPixels, 100);
    EXPECT_EQ(mismatches, 0);
    EXPECT_LT(Ink(corner, kBlue, panel).top(), panel.top());

    g_setup.productName[0] = '\0';
    QImage none = paintWith("");
    EXPECT_TRUE(Ink(none, kBlue, panel).isEmpty() && Ink(none, kWhite, panel).isEmpty());

    // The logo panel: a sunken frame, grey at the left and top, white at
    // the right and bottom, around the logo stretched unsmoothed, each of
    // its pixels a block of 118 / 64 by 208 / 64 of its own colour.
    QImage logo(kSource + "/resources/logo.bmp"), image = Grab(page->logoPanel());
    ASSERT_EQ(page->logoPanel()->logo().size(), QSize(64, 64));
    ASSERT_EQ(image.size(), QSize(120, 210));
    EXPECT_EQ(Chars(image, {0, 0}, {0, 1}, 210), QString(209, 'g') + 'w');
    EXPECT_EQ(Chars(image, {0, 0}, {1, 0}, 120), QString(119, 'g') + 'w');
    EXPECT_EQ(Chars(image, {119, 0}, {0, 1}, 210) + Chars(image, {0, 209}, {1, 0}, 120), QString(330, 'w'));
    int wrong = 0;
    for (int sy = 0; sy < 64; ++sy)
        for (int sx = 0; sx < 64; ++sx)
            wrong += image.pixel(1 + (2 * sx + 1) * 118 / 128, 1 + (2 * sy + 1) * 208 / 128) !=
                     (logo.pixel(sx, sy) | 0xFF000000u);
    EXPECT_EQ(wrong, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyClassicLook();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
