// The Qt wizard driven through its widgets on the offscreen platform: page
// flow, Cancel, a whole installation with the message boxes answered by the
// test, and the pixels of the banner and the logo panel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDirIterator>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "wizard/qt/logo_panel.h"
#include "wizard/qt/qt_frontend.h"
#include "wizard/qt/wizard_pages.h"

namespace {

const QString kSource = QStringLiteral(VSETUP_SOURCE_DIR);
const QRgb kBlue = qRgb(0, 0, 255), kWhite = qRgb(255, 255, 255), kGrey = qRgb(0x80, 0x80, 0x80);

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

// The bounds of the pixels of one colour, outside the rectangle left out.
QRect Ink(const QImage& image, QRgb color, const QRect& left_out) {
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!left_out.contains(x, y) && image.pixel(x, y) == color) bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The wizard's visible buttons, in order, e.g. "Back Finish Cancel".
QString ButtonsOf(VorelWizard& wizard) {
    QStringList names;
    const std::pair<QWizard::WizardButton, const char*> kButtons[] = {{QWizard::BackButton, "Back"},
                                                                      {QWizard::NextButton, "Next"},
                                                                      {QWizard::FinishButton, "Finish"},
                                                                      {QWizard::CancelButton, "Cancel"}};
    for (const auto& [which, name] : kButtons)
        if (wizard.button(which)->isVisible())
            names << QString::fromLatin1(name) + (wizard.button(which)->isEnabled() ? "" : "(off)");
    return names.join(' ');
}

void Click(VorelWizard& wizard, QWizard::WizardButton which) {
    QTest::mouseClick(wizard.button(which), Qt::LeftButton);
}

// As vsetup starts: a scratch prefix whose drive A: is the example disk,
// the disk the current directory, the setup state read from it. Message
// boxes are recorded and answered No.
class QtWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(startDir_, sizeof startDir_), nullptr);
        prefix_ = scratch_.filePath("prefix");
        disk_ = kSource + "/examples/disk1";
        ASSERT_TRUE(QDir().mkpath(prefix_ + "/dosdevices"));
        ASSERT_TRUE(QFile::link(disk_, prefix_ + "/dosdevices/a:"));
        qputenv("VSETUP_PREFIX", prefix_.toLocal8Bit());
        ASSERT_NE(PlatStartup(), 0) << PlatStartupError();
        ASSERT_EQ(chdir(disk_.toLocal8Bit().constData()), 0);
        g_setup = SetupState();
        InitSetupState();
        QtFrontEnd::SetMessageHook([this](QMessageBox& box) {
            shown_.push_back(box.windowTitle() + "|" + box.text() + "|" + QString::number(box.standardButtons()) + "|" +
                             QString::number(box.icon()));
            owner_ = box.parentWidget();
            return QMessageBox::No;
        });
    }
    void TearDown() override {
        QtFrontEnd::SetMessageHook({});
        PlatShutdown();
        ASSERT_EQ(chdir(startDir_), 0);
    }

    QTemporaryDir scratch_;
    char startDir_[4096];
    QString prefix_, disk_;
    QStringList shown_;
    QWidget* owner_ = nullptr;
};

TEST_F(QtWizardTest, PagesAndButtonsFollowEachOther) {
    VorelWizard wizard;
    wizard.show();
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Vorel Setup Wizard"));
    EXPECT_FALSE(wizard.windowIcon().isNull());
    EXPECT_EQ(wizard.currentId(), kWelcomePageId);
    EXPECT_EQ(ButtonsOf(wizard), QStringLiteral("Back(off) Next Cancel"));
    Click(wizard, QWizard::NextButton);
    EXPECT_EQ(wizard.currentId(), kFinishPageId);
    EXPECT_EQ(ButtonsOf(wizard), QStringLiteral("Back Finish Cancel"));
    Click(wizard, QWizard::BackButton);
    EXPECT_EQ(wizard.currentId(), kWelcomePageId);
    EXPECT_TRUE(wizard.isVisible());

    // Both pages fill the sheet above its line, whole in the window; every
    // control lies on its page and every text fits its control unclipped.
    for (BannerPage* page :
         {static_cast<BannerPage*>(wizard.welcomePage()), static_cast<BannerPage*>(wizard.finishPage())}) {
        EXPECT_EQ(page->size(), QSize(446, 224));
        EXPECT_TRUE(wizard.rect().contains(QRect(page->mapTo(&wizard, QPoint()), page->size())));
        for (QWidget* child : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(page->rect().contains(child->geometry()));
            if (auto* label = qobject_cast<QLabel*>(child)) {
                QSize needed = label->fontMetrics().boundingRect(label->rect(), Qt::TextWordWrap, label->text()).size();
                EXPECT_TRUE(label->rect().contains(QRect(QPoint(), needed))) << label->text().toStdString();
            }
        }
    }
}

TEST_F(QtWizardTest, CancelEscapeAndTheCloseBoxTouchNothing) {
    const auto before = Snapshot(prefix_);
    for (int way = 0; way < 6; ++way) {
        SCOPED_TRACE(way);
        VorelWizard wizard;
        wizard.show();
        if (way % 2) Click(wizard, QWizard::NextButton);  // odd ways on the finish page
        if (way / 2 == 0) Click(wizard, QWizard::CancelButton);
        if (way / 2 == 1) wizard.close();
        if (way / 2 == 2) QTest::keyClick(&wizard, Qt::Key_Escape);
        EXPECT_FALSE(wizard.isVisible());
        EXPECT_EQ(wizard.result(), QDialog::Rejected);
    }
    EXPECT_TRUE(shown_.isEmpty());
    EXPECT_EQ(Snapshot(prefix_), before);
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
    // During the run the three buttons stay, greyed, and take no click;
    // Cancel and the close box do nothing. The run ends with no bar.
    QString duringRun;
    auto hook = [&](QMessageBox& box) {
        duringRun = ButtonsOf(wizard) + QString(" bars:%1").arg(wizard.findChildren<QProgressBar*>().size());
        wizard.reject();
        wizard.close();
        shown_ << box.windowTitle() + "|" + box.text() + "|" + QString::number(box.standardButtons()) + "|" +
                      QString::number(box.icon()) + "|" + box.defaultButton()->text();
        owner_ = box.parentWidget();
        return QMessageBox::No;
    };
    QtFrontEnd::SetMessageHook(hook);
    Click(wizard, QWizard::FinishButton);
    qApp->removeEventFilter(&painted);

    EXPECT_EQ(duringRun, QStringLiteral("Back(off) Finish(off) Cancel(off) bars:0"));
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    // A clean run shows one box, the completion prompt.
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
}

TEST_F(QtWizardTest, RealMessageBoxesAnswerAsWindowsDoes) {
    QtFrontEnd::SetMessageHook({});
    VorelWizard wizard;
    wizard.show();
    QtFrontEnd front(&wizard);
    // Shows a box of style and works it with act once it is up; returns the
    // answer and what the box offered.
    QString offered;
    auto ask = [&](unsigned style, std::function<void(QMessageBox*)> act) {
        QTimer::singleShot(0, [&, act] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            offered = QString("%1 %2 %3")
                          .arg(int(box->standardButtons()))
                          .arg(box->icon())
                          .arg(box->parentWidget() == &wizard);
            act(box);
        });
        return front.MessageBox("text", "caption", style);
    };
    auto key = [](Qt::Key which) { return [which](QMessageBox* box) { QTest::keyClick(box, which); }; };
    auto click = [](QMessageBox::StandardButton which) {
        return [which](QMessageBox* box) { QTest::mouseClick(box->button(which), Qt::LeftButton); };
    };
    auto closeBox = [](QMessageBox* box) { box->close(); };
    auto expectOffered = [&](QMessageBox::StandardButtons buttons, QMessageBox::Icon icon) {
        EXPECT_EQ(offered, QString("%1 %2 1").arg(int(buttons)).arg(icon));
    };

    EXPECT_EQ(ask(PLAT_MB_YESNO, key(Qt::Key_Return)), PLAT_IDYES);
    expectOffered(QMessageBox::Yes | QMessageBox::No, QMessageBox::NoIcon);
    EXPECT_EQ(ask(PLAT_MB_YESNO, click(QMessageBox::No)), PLAT_IDNO);
    EXPECT_EQ(ask(PLAT_MB_OKCANCEL, key(Qt::Key_Escape)), PLAT_IDCANCEL);
    expectOffered(QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoIcon);
    EXPECT_EQ(ask(PLAT_MB_OKCANCEL, closeBox), PLAT_IDCANCEL);
    EXPECT_EQ(ask(PLAT_MB_OKCANCEL, key(Qt::Key_Return)), PLAT_IDOK);
    EXPECT_EQ(ask(PLAT_MB_OK | PLAT_MB_ICONERROR, key(Qt::Key_Escape)), PLAT_IDOK);
    expectOffered(QMessageBox::Ok, QMessageBox::Critical);
}

TEST_F(QtWizardTest, BannerFollowsSetupDatAtEveryPaint) {
    // A disk of its own whose setup.dat changes between paints.
    QString disk = scratch_.filePath("disk");
    ASSERT_TRUE(QDir().mkpath(disk));
    ASSERT_EQ(chdir(disk.toLocal8Bit().constData()), 0);
    g_setup = SetupState();
    InitSetupState();
    std::strcpy(g_setup.productName, "Vorel Velocity 3D");
    VorelWizard wizard;
    wizard.show();
    WelcomePage* page = wizard.welcomePage();
    const QRect panel = page->logoPanel()->geometry();
    auto paintWith = [&](const QByteArray& banner) {
        QFile file(disk + "/setup.dat");
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(banner);
        file.close();
        return page->grab().toImage().convertToFormat(QImage::Format_RGB32);
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
}

TEST_F(QtWizardTest, LogoPanelIsASunkenFrameAroundTheStretchedLogo) {
    QWidget page;
    LogoPanel panel(&page);
    QImage logo(kSource + "/resources/logo.bmp");
    ASSERT_EQ(panel.logo().size(), QSize(64, 64));
    QImage image = panel.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(120, 210));
    const int w = image.width(), h = image.height();
    int wrong = 0;
    for (int y = 0; y < h; ++y) wrong += image.pixel(0, y) != (y <= h - 2 ? kGrey : kWhite);
    for (int x = 0; x < w; ++x) wrong += image.pixel(x, 0) != (x <= w - 2 ? kGrey : kWhite);
    for (int y = 0; y < h; ++y) wrong += image.pixel(w - 1, y) != kWhite;
    for (int x = 0; x < w; ++x) wrong += image.pixel(x, h - 1) != kWhite;
    EXPECT_EQ(wrong, 0) << "frame";
    // Each logo pixel covers a block of 118 / 64 by 208 / 64 panel pixels of
    // its own colour, unsmoothed.
    wrong = 0;
    for (int sy = 0; sy < 64; ++sy)
        for (int sx = 0; sx < 64; ++sx)
            wrong += image.pixel(1 + (2 * sx + 1) * (w - 2) / 128, 1 + (2 * sy + 1) * (h - 2) / 128) !=
                     (logo.pixel(sx, sy) | 0xFF000000u);
    EXPECT_EQ(wrong, 0) << "logo";
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyClassicLook();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
