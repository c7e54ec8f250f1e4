// The Qt wizard driven through its widgets and keys on the offscreen
// platform: the sheet's geometry and pixels beside those of VSETUP.EXE's
// property sheet as Wine draws it (client area, in pixels), page flow,
// Enter, Tab, Escape, Cancel and the close box, a whole installation, the
// message boxes answered as Windows does, the banner and the logo panel.
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include <algorithm>

#include "installer/core/setup_state.h"
#include "wizard/host_frontends.h"
#include "wizard/qt/logo_panel.h"
#include "wizard/qt/qt_frontend.h"
#include "wizard/qt/wizard_pages.h"

// Qt strings in the failure messages as text.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

const QString kDisk = VSETUP_SOURCE_DIR "/examples/disk1", kData = VSETUP_SOURCE_DIR "/tests/qt/data/";
const QRgb kBlack = 0xFF000000, kWhite = 0xFFFFFFFF, kFace = 0xFFC0C0C0, kBlue = 0xFF0000FF;  // as ARGB

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// The lines of tests/qt/data/<f>, but empty ones and those that start with '#'.
QStringList Lines(QString f) { return QString(ReadAll(kData + f)).split('\n').filter(QRegularExpression("^[^#]")); }

// An image of tests/qt/data/, in the format of a grabbed widget.
QImage Golden(const QString& name) { return QImage(kData + name).convertToFormat(QImage::Format_RGB32); }

// The contents of every entry below root, in the order of a walk (a
// directory, or a link to one, reads as "<none>").
QByteArrayList Snapshot(const QTemporaryDir& root) {
    QByteArrayList tree;
    for (QDirIterator it(root.path(), QDirIterator::Subdirectories); it.hasNext();) tree << ReadAll(it.next());
    return tree;
}

QImage Grab(QWidget* widget) { return widget->grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Where the image has pixels of the colour.
QRegion Where(const QImage& i, QRgb c) { return QBitmap::fromImage(i.createMaskFromColor(c, Qt::MaskOutColor)); }

// The visible buttons of the sheet (not of a box over it): text, place and
// size in the sheet, and whether it can be pressed.
QString RowOf(QWizard& wizard) {
    QString row;
    for (QPushButton* b : wizard.findChildren<QPushButton*>())
        if (b->isVisible() && b->window() == &wizard)
            QDebug(&row).noquote() << b->text() << QRect(b->mapTo(&wizard, QPoint()), b->size()) << b->isEnabled();
    return row.trimmed();
}

// A message box as "caption|text|each button|icon|default button|owner's
// caption", the icon by its name in QMessageBox, line breaks as "\n".
QString Describe(const QMessageBox& box) {
    QStringList shown{box.windowTitle().trimmed(), box.text()};
    for (QAbstractButton* button : box.buttons()) shown << button->text();
    shown << QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box.icon()) << box.defaultButton()->text()
          << (box.parentWidget() ? box.parentWidget()->windowTitle() : "none");
    return shown.join('|').replace('\n', "\\n");
}

// As vsetup starts: a scratch prefix whose drive A: is the example disk,
// the disk the current directory, the setup state read from it.
class QtWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDir(prefix_.path()).mkpath("dosdevices") && QFile::link(kDisk, prefix_.filePath("dosdevices/a:")));
        qputenv("VSETUP_PREFIX", prefix_.path().toLocal8Bit());
        ASSERT_NE(PlatStartup(), 0) << PlatStartupError();
        ASSERT_TRUE(QDir::setCurrent(kDisk));
        g_setup = SetupState();
        InitSetupState();
    }
    // The hook a test sets goes with it.
    void TearDown() override { PlatShutdown(), QtFrontEnd::SetMessageHook({}); }

    QTemporaryDir prefix_;
};

TEST_F(QtWizardTest, EnterPressesTheFocusedButtonAndNoWayOutTouchesAnything) {
    // The ways and where each ends are in data/ways.txt.
    const auto before = Snapshot(prefix_);
    QStringList shown;  // message boxes, answered No
    QtFrontEnd::SetMessageHook([&](QMessageBox& box) {
        shown << box.text();
        return QMessageBox::No;
    });
    for (const QString& line : Lines("ways.txt")) {
        const QStringList way = line.split(QRegularExpression(" *; *"));
        VorelWizard wizard;
        wizard.show();
        QApplication::setActiveWindow(&wizard);
        for (const QString& step : way[0].split(' ')) {
            if (step == "close-box") wizard.close();
            if (step == "click-next") wizard.button(QWizard::NextButton)->click();
            if (step == "click-cancel") wizard.button(QWizard::CancelButton)->click();
            if (!step.contains('-')) QTest::keySequence(QApplication::focusWidget(), QKeySequence(step));
            if (step == "Alt+N") QTRY_COMPARE_WITH_TIMEOUT(wizard.currentId(), int(kFinishPageId), 1000);
        }
        // Closed, the result (Rejected 0, Accepted 1); else the page.
        const QString end = QStringList{"cancelled", "installed", "welcome", "finish"}.at(
            wizard.isVisible() ? 2 + (wizard.currentId() == kFinishPageId) : wizard.result());
        EXPECT_EQ((QStringList{way[0], end}), way);
        EXPECT_TRUE(end == "installed" || (shown.isEmpty() && Snapshot(prefix_) == before)) << qPrintable(way[0]);
    }
}

// One wizard from start to finish: the sheet as it shows, its pages and
// its button row, then Finish, which installs the example disk showing
// every file. What the sheet shows on the way is in data/run.txt, line by
// line.
TEST_F(QtWizardTest, FromStartToFinish) {
    VorelWizard wizard;
    wizard.show();
    QStringList seen{wizard.windowTitle() + (wizard.windowIcon().isNull() ? " (no icon)" : ""), RowOf(wizard)};
    EXPECT_EQ(wizard.size(), QSize(470, 277));
    EXPECT_LE((wizard.frameGeometry().center() - wizard.screen()->availableGeometry().center()).manhattanLength(), 1);
    // Both pages fill the sheet above its line; every control lies on its
    // page, every text fits its control unclipped and is the one of
    // data/pages.txt, where it says, and below the banner, right of the
    // logo, the page is drawn in two colours, unsmoothed.
    QStringList labels;
    for (QWizardPage* page : {wizard.page(kWelcomePageId), wizard.page(kFinishPageId)}) {
        EXPECT_EQ(QRect(page->mapTo(&wizard, QPoint()), page->size()), QRect(12, 0, 446, 224));
        EXPECT_TRUE(page->rect().contains(page->childrenRect()));
        for (QLabel* l : page->findChildren<QLabel*>()) {
            EXPECT_TRUE(l->rect().contains(l->fontMetrics().boundingRect(l->rect(), Qt::TextWordWrap, l->text())));
            QDebug(&labels.emplace_back()).noquote().nospace()
                << (page == wizard.page(kWelcomePageId) ? "welcome" : "finish") << " ; " << l->text() << " ; "
                << l->geometry();
        }
        const QRegion texts(140, 60, 306, 164);
        const QRegion black = Where(Grab(page), kBlack) & texts;
        EXPECT_TRUE(!black.isEmpty() && black + (Where(Grab(page), kFace) & texts) == texts);
    }
    EXPECT_EQ(labels, Lines("pages.txt"));
    wizard.next();
    // From below the pages to the top two rows of the buttons: the etched
    // line, the default frame of Finish, the white edges of Back and Cancel.
    seen << RowOf(wizard);
    EXPECT_EQ(Grab(&wizard).copy(0, 225, 470, 21), Golden("sheet_line.xpm"));

    // The texts of the status line and the positions of the bar, as painted.
    struct PaintLog : QObject {
        QMap<QString, int> files;  // sorted, with the number of paints
        QList<int> at;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Paint && o->objectName() == "1002") ++files[static_cast<QLabel*>(o)->text()];
            auto* bar = qobject_cast<QProgressBar*>(o);
            if (bar && e->type() == QEvent::Paint) at << bar->value();
            return false;
        }
    } paint;
    qApp->installEventFilter(&paint);
    // Enter and Escape wait in the queue when Finish is pressed; the run
    // lets them through as it paints, and they answer nothing. During the
    // run the buttons stay, greyed, and the close box does nothing; the run
    // ends with no bar, the prompt up and unanswered when the user gets to it.
    for (int key : {Qt::Key_Return, Qt::Key_Escape})
        QCoreApplication::postEvent(&wizard, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    QtFrontEnd::SetMessageHook([&](QMessageBox& box) {
        wizard.close();
        box.show();
        QTest::qWait(50);
        seen << RowOf(wizard) << Describe(box) << QString::number(wizard.findChildren<QProgressBar*>().size())
             << QString::number(box.isVisible() && !box.clickedButton());
        return QMessageBox::No;
    });
    wizard.button(QWizard::FinishButton)->click();

    // The wizard closed as accepted, the status line empty; each of the
    // disk's files was painted while it was copied, and the bar after each,
    // never going back.
    seen << QString("%1 [%2]").arg(wizard.result()).arg(wizard.Finish()->Control(1002)->text())
         << paint.files.keys().filter(" : ");
    EXPECT_TRUE(paint.at.size() >= 12 && std::is_sorted(paint.at.begin(), paint.at.end()) && paint.at.back() >= 90);

    // The bar at half way: blocks two thirds as wide as the bar is high,
    // two pixels apart, the last one cut where the position ends.
    QtFrontEnd front(&wizard);
    PlatWindow bar = front.CreateProgressBar(ToPlatWindow(wizard.Finish()));
    front.SetProgressPos(bar, 50);
    EXPECT_EQ(Grab(FromPlatWindow(bar)), Golden("bar_half.xpm"));
    EXPECT_EQ(seen, Lines("run.txt"));
}

TEST_F(QtWizardTest, MessageBoxesAnswerAsWindowsDoes) {
    // Real boxes owned by the wizard, and the box that shows a prefix that
    // cannot be prepared, worked by steps once they are up, as
    // data/message_boxes.txt gives them: the row each box makes is the row
    // of the table.
    VorelWizard wizard;
    QtFrontEnd front(&wizard);
    for (const QString& line : Lines("message_boxes.txt")) {
        const QStringList row = line.split(QRegularExpression(" *; *"));
        QString shown, trace;  // filled in while the box is up
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            shown = Describe(*box);
            for (const QString& step : row[2].split(' ')) {
                if (step == "close-box") box->close();
                if (step == "click-no") QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
                if (!step.contains('-')) QTest::keySequence(box, QKeySequence(step));
                trace += box->isVisible() ? '+' : '-';
            }
        });
        const int answer = row[0] == "startup"
                               ? (ShowStartupFailure("text"), 1)
                               : front.MessageBox("text", qPrintable(row[1]), row[0].toUInt(nullptr, 16));
        EXPECT_EQ((QStringList{row[0], row[1], row[2], QString::number(answer), shown, trace}), row);
    }
}

TEST_F(QtWizardTest, TheBannerFollowsSetupDatAtEveryPaintBesideTheFramedLogo) {
    // A disk of its own (in the scratch prefix) whose setup.dat changes
    // between paints.
    ASSERT_TRUE(QDir(prefix_.path()).mkdir("disk") && QDir::setCurrent(prefix_.filePath("disk")));
    InitSetupState();
    WelcomePage page;
    const QRect panel = page.Panel()->geometry();
    auto paintWith = [&](const QByteArray& banner) {
        QFile file("setup.dat");
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(banner) == banner.size());
        return Grab(&page);
    };

    // Defaults: 36 pixels, so that the letters with their descenders are
    // at least 30 high, at (150, 10), the text cell's top-left corner, so
    // that they start in its upper half; white letters one pixel up and
    // left of their blue shadow.
    QImage plain = paintWith("");
    const QRect blue = (Where(plain, kBlue) - panel).boundingRect();
    const QRect white = (Where(plain, kWhite) - panel).boundingRect();
    EXPECT_TRUE(QRect(150, 10, 300, 18).contains(blue.topLeft()) && blue.height() >= 30);
    EXPECT_EQ(white.bottomRight(), blue.bottomRight() - QPoint(1, 1));
    // FontHi 20: letters about 20 pixels high, narrower.
    QRect small = (Where(paintWith("[Banner]\r\nFontHi=20\r\n"), kBlue) - panel).boundingRect();
    EXPECT_TRUE(small.height() > 10 && small.height() <= 24 && small.width() < blue.width() * 2 / 3);
    // At (0, 0) the same letters, moved by exactly (-150, -10): compared
    // right of the panel and above the texts, where most of them are.
    QImage corner = paintWith("[Banner]\r\nStartX=0\r\nStartY=0\r\n");
    const QRect right(panel.right() + 1, 0, plain.width() - 150 - panel.right() - 1, 55);
    EXPECT_EQ(corner.copy(right), plain.copy(right.translated(150, 10)));
    // An empty product name paints no banner.
    g_setup.productName[0] = '\0';
    EXPECT_TRUE((Where(paintWith(""), kBlue) - panel).isEmpty());

    // The logo panel: a sunken frame around the logo stretched unsmoothed,
    // as data/logo_panel.xpm shows it.
    EXPECT_EQ(Grab(page.Panel()), Golden("logo_panel.xpm"));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyClassicLook();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
