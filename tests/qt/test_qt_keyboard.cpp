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

const QRgb kBlack = qRgb(0, 0, 0), kWhite = qRgb(255, 255, 255), kFace = qRgb(0xC0, 0xC0, 0xC0);

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
        int page;  // where the wizard is afterwards, 0 when closed
        bool installed;
    };
    const Way ways[] = {
        {"enter", kFinishPageId, false},
        {"tab enter", 0, false},                         // Next, Cancel: cancels
        {"alt-n tab enter", 0, false},                   // Finish, Cancel: cancels
        {"alt-n backtab enter", kWelcomePageId, false},  // Finish, Back: goes back
        {"enter enter", 0, true},                        // Next, then Finish
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.keys);
        shown_.clear();
        VorelWizard wizard;
        wizard.show();
        QApplication::setActiveWindow(&wizard);
        EXPECT_EQ(QApplication::focusWidget(), wizard.button(QWizard::NextButton));
        for (const QString& key : QString::fromLatin1(way.keys).split(' ')) {
            if (key == "enter") Key(wizard, Qt::Key_Return);
            if (key == "tab") Key(wizard, Qt::Key_Tab);
            if (key == "backtab") Key(wizard, Qt::Key_Backtab, Qt::ShiftModifier);
            if (key == "alt-n") {
                // The mnemonic presses Next as a click would, a moment later.
                Key(wizard, Qt::Key_N, Qt::AltModifier);
                QTRY_COMPARE_WITH_TIMEOUT(wizard.currentId(), int(kFinishPageId), 1000);
                EXPECT_EQ(QApplication::focusWidget(), wizard.button(QWizard::FinishButton));
            }
        }
        EXPECT_EQ(wizard.isVisible() ? wizard.currentId() : 0, way.page);
        EXPECT_EQ(!shown_.isEmpty(), way.installed);
    }
}

TEST_F(QtKeyboardTest, TheRowIsTheSheetsAndTheDefaultHasItsFrame) {
    VorelWizard wizard;
    wizard.show();
    EXPECT_LE((wizard.geometry().center() - wizard.screen()->availableGeometry().center()).manhattanLength(), 1);
    EXPECT_EQ(wizard.size(), QSize(470, 277));
    auto row = [&] {
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
    };
    EXPECT_EQ(row(), "< &Back 198,244 83x21 off | &Next > 281,244 83x21 | Cancel 375,244 83x21");
    wizard.next();
    EXPECT_EQ(row(), "< &Back 198,244 83x21 | Finish 281,244 83x21 | Cancel 375,244 83x21");

    // Pixels as characters: face '.', black '#', white 'w', other grey 'g'.
    QImage image = wizard.grab().toImage().convertToFormat(QImage::Format_RGB32);
    auto pixels = [&](std::initializer_list<QPoint> points) {
        QString out;
        for (QPoint p : points) {
            QRgb c = image.pixel(p);
            out += c == kFace ? '.' : c == kBlack ? '#' : c == kWhite ? 'w' : 'g';
        }
        return out;
    };
    auto column = [&](int x) {
        QString out;
        for (int y = 231; y <= 245; ++y) out += pixels({QPoint(x, y)});
        return out;
    };
    // The etched line at 233 from x 12 to 457; Finish's default frame at
    // the top of the row, where Back starts with its white edge.
    EXPECT_EQ(pixels({{11, 233}, {12, 233}, {456, 233}, {457, 233}, {458, 233}}), ".ggw.");
    EXPECT_EQ(column(300), "..gw.........#w");
    EXPECT_EQ(column(240), "..gw..........w");
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
    // Enter and Escape wait in the queue when Finish is pressed; the run
    // lets them through as it paints. The prompt is still up, unanswered,
    // when the user gets to it.
    for (int key : {Qt::Key_Return, Qt::Key_Escape})
        QCoreApplication::postEvent(&wizard, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    QString prompt;
    QtFrontEnd::SetMessageHook([&](QMessageBox& box) {
        box.show();
        QTest::qWait(50);
        prompt = QString("%1 %2").arg(box.isVisible()).arg(box.clickedButton() != nullptr);
        return QMessageBox::No;
    });
    wizard.button(QWizard::FinishButton)->click();
    EXPECT_EQ(prompt, QStringLiteral("1 0"));
    EXPECT_EQ(wizard.result(), QDialog::Accepted);

    // Blocks two thirds as wide as the bar is high, two pixels apart, the
    // last one cut where the position ends.
    QtFrontEnd front(&wizard);
    PlatWindow bar = front.CreateProgressBar(ToPlatWindow(wizard.finishPage()));
    front.SetProgressPos(bar, 50);
    QImage image = FromPlatWindow(bar)->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QString row;
    for (int x = 0; x < 40; ++x) row += image.pixel(x, image.height() / 2) == kFace ? '.' : '#';
    EXPECT_EQ(row, QStringLiteral(".##########..##########..##########..###"));
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
