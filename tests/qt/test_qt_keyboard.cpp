// The Qt wizard under the keyboard and beside the Windows build: Enter,
// Tab, Escape and type-ahead, the message boxes' keys and caption, and the
// sheet's geometry and pixels. The numbers are those of VSETUP.EXE's
// property sheet as Wine draws it (client area, in pixels).
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <set>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "wizard/host_frontends.h"
#include "wizard/qt/qt_frontend.h"
#include "wizard/qt/wizard_pages.h"

namespace {

const QRect kBack(198, 244, 83, 21), kNext(281, 244, 83, 21), kCancel(375, 244, 83, 21);
const QSize kClient(470, 277);
const int kSeparatorY = 233, kSeparatorLeft = 12, kSeparatorRight = 457;
const QRgb kBlack = qRgb(0, 0, 0), kWhite = qRgb(255, 255, 255), kFace = qRgb(0xC0, 0xC0, 0xC0);

QAbstractButton* Button(QWizard& wizard, QWizard::WizardButton which) { return wizard.button(which); }

// The example disk as drive A: of a scratch prefix, the current directory.
class QtKeyboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(startDir_, sizeof startDir_), nullptr);
        QString prefix = scratch_.filePath("prefix"), disk = QStringLiteral(VSETUP_SOURCE_DIR "/examples/disk1");
        ASSERT_TRUE(QDir().mkpath(prefix + "/dosdevices"));
        ASSERT_TRUE(QFile::link(disk, prefix + "/dosdevices/a:"));
        qputenv("VSETUP_PREFIX", prefix.toLocal8Bit());
        ASSERT_NE(PlatStartup(), 0) << PlatStartupError();
        ASSERT_EQ(chdir(disk.toLocal8Bit().constData()), 0);
        g_setup = SetupState();
        InitSetupState();
        QtFrontEnd::SetMessageHook([this](QMessageBox& box) {
            shown_ << box.windowTitle() + "|" + box.text();
            return QMessageBox::No;
        });
    }
    void TearDown() override {
        QtFrontEnd::SetMessageHook({});
        PlatShutdown();
        ASSERT_EQ(chdir(startDir_), 0);
    }
    void Key(VorelWizard& wizard, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &wizard;
        QTest::keyClick(target, Qt::Key(key), modifiers);
    }

    QTemporaryDir scratch_;
    char startDir_[4096];
    QStringList shown_;
};

TEST_F(QtKeyboardTest, EnterPressesTheFocusedButtonOrElseTheDefault) {
    // On each page the default button has the focus; Tab walks the row.
    struct Way {
        const char* keys;
        int page;           // where the wizard is afterwards, 0 when closed
        bool installed;
    };
    const Way ways[] = {
        {"enter", kFinishPageId, false},
        {"tab enter", 0, false},                       // Next, Cancel: cancels
        {"alt-n tab enter", 0, false},                 // Finish, Cancel: cancels
        {"alt-n backtab enter", kWelcomePageId, false},  // Finish, Back: goes back
        {"enter enter", 0, true},                      // Next, then Finish
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.keys);
        shown_.clear();
        VorelWizard wizard;
        wizard.show();
        QApplication::setActiveWindow(&wizard);
        EXPECT_EQ(QApplication::focusWidget(), Button(wizard, QWizard::NextButton));
        for (const QString& key : QString::fromLatin1(way.keys).split(' ')) {
            if (key == "enter") Key(wizard, Qt::Key_Return);
            if (key == "tab") Key(wizard, Qt::Key_Tab);
            if (key == "backtab") Key(wizard, Qt::Key_Backtab, Qt::ShiftModifier);
            if (key == "alt-n") {
                // The mnemonic presses Next as a click would, a moment later.
                Key(wizard, Qt::Key_N, Qt::AltModifier);
                QTRY_COMPARE_WITH_TIMEOUT(wizard.currentId(), int(kFinishPageId), 1000);
                EXPECT_EQ(QApplication::focusWidget(), Button(wizard, QWizard::FinishButton));
            }
        }
        EXPECT_EQ(wizard.isVisible() ? wizard.currentId() : 0, way.page);
        EXPECT_EQ(!shown_.isEmpty(), way.installed);
    }
}

TEST_F(QtKeyboardTest, TheRowIsTheSheetsAndTheDefaultHasItsFrame) {
    VorelWizard wizard;
    wizard.show();
    // Opened in the middle of the screen.
    EXPECT_LE((wizard.geometry().center() - wizard.screen()->availableGeometry().center()).manhattanLength(), 1);
    EXPECT_EQ(wizard.size(), kClient);
    auto at = [&](QWizard::WizardButton which) {
        QAbstractButton* button = Button(wizard, which);
        return QRect(button->mapTo(&wizard, QPoint()), button->size());
    };
    EXPECT_EQ(at(QWizard::BackButton), kBack);
    EXPECT_FALSE(Button(wizard, QWizard::BackButton)->isEnabled());
    EXPECT_TRUE(Button(wizard, QWizard::BackButton)->isVisible());
    EXPECT_EQ(at(QWizard::NextButton), kNext);
    EXPECT_EQ(at(QWizard::CancelButton), kCancel);
    wizard.next();
    EXPECT_EQ(at(QWizard::BackButton), kBack);
    EXPECT_EQ(at(QWizard::FinishButton), kNext);
    EXPECT_EQ(at(QWizard::CancelButton), kCancel);
    EXPECT_EQ(Button(wizard, QWizard::FinishButton)->text(), QStringLiteral("Finish"));

    QImage image = wizard.grab().toImage().convertToFormat(QImage::Format_RGB32);
    // The etched line: dark over white, from margin to margin.
    int wrong = 0;
    for (int x = kSeparatorLeft; x < kSeparatorRight; ++x) {
        QColor dark = image.pixelColor(x, kSeparatorY);
        wrong += dark.lightness() > 170 || image.pixel(x, kSeparatorY + 1) != kWhite;
        wrong += image.pixel(x, kSeparatorY - 1) != kFace || image.pixel(x, kSeparatorY + 2) != kFace;
    }
    EXPECT_EQ(wrong, 0);
    // The default button's thick frame: black along its top and left
    // edges, where Back shows the face colour.
    wrong = 0;
    for (int x = kNext.left(); x < kNext.right(); ++x)
        wrong += image.pixel(x, kNext.top()) != kBlack || image.pixel(x - kNext.left() + kBack.left(), kBack.top()) != kFace;
    for (int y = kNext.top(); y < kNext.bottom(); ++y)
        wrong += image.pixel(kNext.left(), y) != kBlack || image.pixel(kBack.left(), y) != kFace;
    EXPECT_EQ(wrong, 0);
    // Dialog text in two colours, unsmoothed.
    std::set<QRgb> colours;
    QImage text = wizard.finishPage()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (QLabel* label : wizard.finishPage()->findChildren<QLabel*>())
        for (int y = label->y(); y <= label->geometry().bottom(); ++y)
            for (int x = label->x(); x <= label->geometry().right(); ++x) colours.insert(text.pixel(x, y));
    EXPECT_EQ(colours, (std::set<QRgb>{kBlack, kFace}));
}

TEST_F(QtKeyboardTest, KeysTypedDuringTheRunAnswerNothingAndTheBarIsInBlocks) {
    VorelWizard wizard;
    wizard.show();
    wizard.next();
    // The user presses Enter and Escape while the files are copied; the bar
    // is looked at once it is past half way.
    QImage bar;
    struct TypeAhead : QObject {
        VorelWizard* wizard;
        QImage* bar;
        bool typed = false;
        bool eventFilter(QObject* object, QEvent* event) override {
            auto* progress = qobject_cast<QProgressBar*>(object);
            if (event->type() != QEvent::Paint || !progress || typed || progress->value() < 50) return false;
            typed = true;
            for (int key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Space}) {
                QCoreApplication::postEvent(wizard, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
                QCoreApplication::postEvent(wizard, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier));
            }
            QTimer::singleShot(0, progress, [this, progress] { *bar = progress->grab().toImage(); });
            return false;
        }
    } typist;
    typist.wizard = &wizard;
    typist.bar = &bar;
    qApp->installEventFilter(&typist);
    QString prompt;
    QtFrontEnd::SetMessageHook([&](QMessageBox& box) {
        box.show();
        QTest::qWait(50);
        prompt = QString("%1 %2").arg(box.isVisible()).arg(box.clickedButton() != nullptr);
        return QMessageBox::No;
    });
    Button(wizard, QWizard::FinishButton)->click();
    qApp->removeEventFilter(&typist);
    EXPECT_TRUE(typist.typed);
    EXPECT_EQ(prompt, QStringLiteral("1 0"));  // still up, unanswered
    EXPECT_EQ(wizard.result(), QDialog::Accepted);

    // Blocks two thirds as wide as the bar is high, two pixels apart.
    ASSERT_FALSE(bar.isNull());
    bar = bar.convertToFormat(QImage::Format_RGB32);
    const int y = bar.height() / 2, block = (bar.height() - 2) * 2 / 3;
    int x = 1, blocks = 0;
    // Every whole block, then the gap after it; the last block may be cut.
    while (x + block < bar.width() && bar.pixel(x + block - 1, y) != kFace) {
        int filled = 0;
        for (int i = 0; i < block; ++i) filled += bar.pixel(x + i, y) != kFace;
        EXPECT_EQ(filled, block) << x;
        EXPECT_EQ(bar.pixel(x + block, y), kFace) << x + block;
        EXPECT_EQ(bar.pixel(x + block + 1, y), kFace) << x + block + 1;
        x += block + 2;
        ++blocks;
    }
    EXPECT_GE(blocks, 10);
}

TEST_F(QtKeyboardTest, AYesNoBoxIgnoresEscapeAndTheCloseBox) {
    QtFrontEnd::SetMessageHook({});
    QtFrontEnd front(nullptr);
    QString seen;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        QTest::keyClick(box, Qt::Key_Escape);
        box->close();
        seen = QString("%1 [%2]").arg(box->isVisible()).arg(box->windowTitle().trimmed());
        QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
    });
    // No caption, as with no setup.dat: the caption stays empty.
    EXPECT_EQ(front.MessageBox("Setup is complete.", "", PLAT_MB_YESNO), PLAT_IDNO);
    EXPECT_EQ(seen, QStringLiteral("1 []"));
}

TEST_F(QtKeyboardTest, APrefixThatCannotBePreparedIsShownInABox) {
    ShowStartupFailure("cannot make the prefix: Permission denied");
    EXPECT_EQ(shown_, QStringList{"Error|cannot make the prefix: Permission denied"});
}

}  // namespace
