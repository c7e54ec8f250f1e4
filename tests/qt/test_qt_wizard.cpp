// The Qt wizard driven through its widgets and keys on the offscreen
// platform: the sheet's geometry and pixels beside those of VSETUP.EXE's
// property sheet as Wine draws it (client area, in pixels), page flow,
// Enter, Tab, Escape, Cancel and the close box, a whole installation, the
// message boxes answered as Windows does, the banner and the logo panel.
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include <algorithm>

#include "core/setup_state.h"
#include "wizard/host_frontends.h"
#include "wizard/qt/logo_panel.h"
#include "wizard/qt/qt_frontend.h"
#include "wizard/qt/wizard_pages.h"

// Qt strings in the failure messages as text.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
namespace {

const QString kSource = QStringLiteral(VSETUP_SOURCE_DIR);
const QRgb kBlack = qRgb(0, 0, 0), kWhite = qRgb(255, 255, 255), kFace = qRgb(0xC0, 0xC0, 0xC0),
           kBlue = qRgb(0, 0, 255);

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// The rows of the table tests/qt/data/<name>, fields apart by ';', lines
// that start with '#' left out.
QList<QStringList> Rows(const QString& name) {
    QList<QStringList> rows;
    for (const QString& line : QString(ReadAll(kSource + "/tests/qt/data/" + name)).split('\n', Qt::SkipEmptyParts))
        if (!line.startsWith('#')) rows << line.trimmed().split(QRegularExpression(" *; *"));
    return rows;
}

// Every entry below root with its contents (a link to a directory reads
// as none).
QMap<QString, QByteArray> Snapshot(const QString& root) {
    QMap<QString, QByteArray> tree;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        tree[path] = ReadAll(path);
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
// black '#', white 'w', grey 0x808080 'g', mid grey 0xA0A0A0 'm', navy 'n',
// anything else '?'.
QString Chars(const QImage& image, QPoint from, QPoint step, int count) {
    const QRgb colours[] = {kFace, kBlack, kWhite, qRgb(0x80, 0x80, 0x80), qRgb(0xA0, 0xA0, 0xA0), qRgb(0, 0, 0x80)};
    QString out;
    for (QPoint p = from; count-- > 0; p += step)
        out += ".#wgmn?"[std::find(std::begin(colours), std::end(colours), image.pixel(p)) - colours];
    return out;
}

// The visible buttons of the row: text, place in the sheet, size, and
// " off" when greyed.
QString RowOf(QWizard& wizard) {
    QStringList shown;
    for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton, QWizard::CancelButton}) {
        QAbstractButton* b = wizard.button(which);
        const QPoint at = b->mapTo(&wizard, QPoint());
        if (b->isVisible())
            shown << QString::asprintf("%s %d,%d %dx%d%s", qPrintable(b->text()), at.x(), at.y(), b->width(),
                                       b->height(), b->isEnabled() ? "" : " off");
    }
    return shown.join(" | ");
}

// A message box as "caption|text|buttons|icon|default button".
QString Describe(const QMessageBox& box) {
    QStringList buttons;
    for (QAbstractButton* button : box.buttons()) buttons << button->text();
    return QString("%1|%2|%3|%4|").arg(box.windowTitle().trimmed(), box.text(), buttons.join(' ')).arg(box.icon()) +
           (box.defaultButton() ? box.defaultButton()->text() : "");
}

void Click(QWizard& wizard, QWizard::WizardButton which) { QTest::mouseClick(wizard.button(which), Qt::LeftButton); }

// As vsetup starts: a scratch prefix whose drive A: is the example disk,
// the disk the current directory, the setup state read from it. Message
// boxes are recorded with the caption of their owner and answered No.
class QtWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = scratch_.filePath("prefix");
        const QString disk = kSource + "/examples/disk1";
        ASSERT_TRUE(QDir().mkpath(prefix_ + "/dosdevices") && QFile::link(disk, prefix_ + "/dosdevices/a:"));
        qputenv("VSETUP_PREFIX", prefix_.toLocal8Bit());
        ASSERT_NE(PlatStartup(), 0) << PlatStartupError();
        ASSERT_TRUE(QDir::setCurrent(disk));
        g_setup = SetupState();
        InitSetupState();
        QtFrontEnd::SetMessageHook([this](QMessageBox& box) { return Record(box); });
    }
    void TearDown() override { PlatShutdown(); }
    QMessageBox::StandardButton Record(QMessageBox& box) {
        shown_ << Describe(box) + " owner:" + (box.parentWidget() ? box.parentWidget()->windowTitle() : "none");
        return QMessageBox::No;
    }

    QTemporaryDir scratch_;
    QString prefix_;
    QStringList shown_;
};

TEST_F(QtWizardTest, TheSheetItsPagesAndItsButtonRow) {
    VorelWizard wizard;
    wizard.show();
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Vorel Setup Wizard"));
    EXPECT_FALSE(wizard.windowIcon().isNull());
    EXPECT_EQ(wizard.size(), QSize(470, 277));
    EXPECT_LE((wizard.geometry().center() - wizard.screen()->availableGeometry().center()).manhattanLength(), 1);
    EXPECT_EQ(RowOf(wizard), "< &Back 198,244 83x21 off | &Next > 281,244 83x21 | Cancel 375,244 83x21");
    Click(wizard, QWizard::NextButton);
    EXPECT_EQ(RowOf(wizard), "< &Back 198,244 83x21 | Finish 281,244 83x21 | Cancel 375,244 83x21");

    // The etched line at 233 from x 12 to 457; Finish's default frame at
    // the top of the row (x 300), where Back (x 240) starts with its white
    // edge.
    QImage sheet = Grab(&wizard);
    EXPECT_EQ(Chars(sheet, {11, 233}, {1, 0}, 2) + Chars(sheet, {456, 233}, {1, 0}, 3), ".mmw.");
    EXPECT_EQ(Chars(sheet, {300, 231}, {0, 1}, 15) + Chars(sheet, {240, 231}, {0, 1}, 15),
              "..mw.........#w..mw..........w");
    Click(wizard, QWizard::BackButton);

    // Both pages fill the sheet above its line; every control lies on its
    // page, and every text fits its control unclipped, drawn in two
    // colours, unsmoothed.
    for (BannerPage* page :
         {static_cast<BannerPage*>(wizard.welcomePage()), static_cast<BannerPage*>(wizard.finishPage())}) {
        EXPECT_EQ(QRect(page->mapTo(&wizard, QPoint()), page->size()), QRect(12, 0, 446, 224));
        EXPECT_TRUE(page->rect().contains(page->childrenRect()));
        QRect texts;
        for (QLabel* label : page->findChildren<QLabel*>()) {
            EXPECT_TRUE(label->rect().contains(
                label->fontMetrics().boundingRect(label->rect(), Qt::TextWordWrap, label->text())))
                << label->text().toStdString();
            texts |= label->geometry();
        }
        QImage image = Grab(page);
        QSet<QRgb> colours;
        for (int y = texts.top(); y <= texts.bottom(); ++y)
            for (int x = texts.left(); x <= texts.right(); ++x) colours << image.pixel(x, y);
        EXPECT_EQ(colours, (QSet<QRgb>{kBlack, kFace}));
    }
}

TEST_F(QtWizardTest, EnterPressesTheFocusedButtonAndNoWayOutTouchesAnything) {
    // The ways and where each ends are in data/ways.txt.
    const auto before = Snapshot(prefix_);
    for (const QStringList& way : Rows("ways.txt")) {
        SCOPED_TRACE(way.join(" ; ").toStdString());
        VorelWizard wizard;
        wizard.show();
        QApplication::setActiveWindow(&wizard);
        for (const QString& step : way[0].split(' ')) {
            if (step == "close-box")
                wizard.close();
            else if (step.startsWith("click-"))
                Click(wizard, step == "click-next" ? QWizard::NextButton : QWizard::CancelButton);
            else
                QTest::keySequence(QApplication::focusWidget(), QKeySequence(step));
            if (step == "Alt+N") QTRY_COMPARE_WITH_TIMEOUT(wizard.currentId(), int(kFinishPageId), 1000);
        }
        const QString end = wizard.isVisible() ? (wizard.currentId() == kWelcomePageId ? "welcome" : "finish")
                            : wizard.result() == QDialog::Accepted ? "installed"
                                                                   : "cancelled";
        EXPECT_EQ(end, way[1]);
        EXPECT_TRUE(end == "installed" || (shown_.isEmpty() && Snapshot(prefix_) == before));
    }
}

TEST_F(QtWizardTest, FinishInstallsTheExampleDiskShowingEveryFile) {
    VorelWizard wizard;
    wizard.show();
    Click(wizard, QWizard::NextButton);

    // What the status line and the bar showed, as they were painted.
    struct PaintLog : QObject {
        QSet<QString> destinations;
        std::vector<int> positions;
        bool eventFilter(QObject* object, QEvent* event) override {
            if (event->type() != QEvent::Paint) return false;
            if (object->objectName() == "1002") destinations << static_cast<QLabel*>(object)->text();
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
        duringRun = QString::asprintf("%s bars:%d prompt up:%d answered:%d", qPrintable(RowOf(wizard)),
                                      int(wizard.findChildren<QProgressBar*>().size()), box.isVisible(),
                                      box.clickedButton() != nullptr);
        return Record(box);
    });
    Click(wizard, QWizard::FinishButton);
    qApp->removeEventFilter(&painted);

    EXPECT_EQ(duringRun,
              "< &Back 198,244 83x21 off | Finish 281,244 83x21 off | Cancel 375,244 83x21 off "
              "bars:0 prompt up:1 answered:0");
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    // A clean run shows one box, the completion prompt, Yes its default.
    EXPECT_EQ(shown_, QStringList{"Vorel Velocity 3D|Setup is complete.\n\nWould you like to run Display control "
                                  "panel right now?|&Yes &No|0|&Yes owner:Vorel Setup Wizard"});

    // Each of the disk's twelve files was painted while it was copied, and
    // the bar after each, never going back; the status line ends empty.
    painted.destinations.remove(QString());
    EXPECT_EQ(painted.destinations.size(), 12);
    EXPECT_TRUE(painted.destinations.contains("To : c:\\windows\\inf\\oemsetup.inf"));
    const std::vector<int>& at = painted.positions;
    EXPECT_TRUE(at.size() >= 12 && std::is_sorted(at.begin(), at.end()) && at.back() >= 90) << at.size();
    EXPECT_TRUE(wizard.finishPage()->control(1002)->text().isEmpty());
    EXPECT_EQ(ReadAll(prefix_ + "/drive_c/WINDOWS/INF/oemsetup.inf"), ReadAll(kSource + "/examples/src/vorel.inf"));
    EXPECT_TRUE(ReadAll(prefix_ + "/drive_c/WINDOWS/system.ini").contains("display.drv=Vorel Velocity 3D"));

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
    EXPECT_EQ(shown_, QStringList{"Error|cannot make the prefix: Permission denied|OK|3|OK owner:none"});

    // Real boxes owned by the wizard, worked by steps once they are up,
    // as data/message_boxes.txt gives them: the row each box makes is the
    // row of the table.
    QtFrontEnd::SetMessageHook({});
    VorelWizard wizard;
    wizard.show();
    QtFrontEnd front(&wizard);
    for (const QStringList& row : Rows("message_boxes.txt")) {
        QString shown, trace;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            shown = Describe(*box) + (box->parentWidget() == &wizard ? "" : " (not the wizard's)");
            for (const QString& step : row[2].split(' ')) {
                if (step == "close-box")
                    box->close();
                else if (step == "click-no")
                    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
                else
                    QTest::keySequence(box, QKeySequence(step));
                trace += box->isVisible() ? '+' : '-';
            }
        });
        const int answer = front.MessageBox("text", row[1].toLatin1().constData(), row[0].toUInt(nullptr, 16));
        EXPECT_EQ((QStringList{row[0], row[1], row[2], shown, trace, QString::number(answer)}), row);
    }
}

TEST_F(QtWizardTest, TheBannerFollowsSetupDatAtEveryPaintBesideTheFramedLogo) {
    // A disk of its own whose setup.dat changes between paints.
    const QString disk = scratch_.filePath("disk");
    ASSERT_TRUE(QDir().mkpath(disk) && QDir::setCurrent(disk));
    g_setup = SetupState();
    InitSetupState();
    qstrcpy(g_setup.productName, "Vorel Velocity 3D");
    WelcomePage page;
    const QRect panel = page.logoPanel()->geometry();
    auto paintWith = [&](const QByteArray& banner) {
        QFile file(disk + "/setup.dat");
        return file.open(QIODevice::WriteOnly) && file.write(banner) == banner.size() && file.flush() ? Grab(&page)
                                                                                                      : QImage();
    };

    // Defaults: 36 pixels at (150, 10), the text cell's top-left corner,
    // so that the letters start in its upper half; white letters one pixel
    // up and left of their blue shadow.
    QImage plain = paintWith("");
    QRect blue = Ink(plain, kBlue, panel), white = Ink(plain, kWhite, panel);
    EXPECT_TRUE(QRect(150, 10, 300, 18).contains(blue.topLeft()) && blue.height() > 24);
    EXPECT_EQ(white.bottomRight(), blue.bottomRight() - QPoint(1, 1));
    // FontHi 20: letters at most 20 pixels and a little high, narrower.
    QRect small = Ink(paintWith("[Banner]\r\nFontHi=20\r\n"), kBlue, panel);
    EXPECT_TRUE(small.top() >= 10 && small.height() > 10 && small.height() <= 24 &&
                small.width() < blue.width() * 2 / 3);
    // At (0, 0) the same letters, moved by exactly (-150, -10): compared
    // right of the panel and above the texts, and partly off the page.
    QImage corner = paintWith("[Banner]\r\nStartX=0\r\nStartY=0\r\n");
    const QRect right(panel.right() + 1, 0, plain.width() - 150 - panel.right() - 1, 55);
    EXPECT_EQ(corner.copy(right), plain.copy(right.translated(150, 10)));
    EXPECT_GT(Ink(corner.copy(right), kBlue, QRect()).height(), 20);
    EXPECT_LT(Ink(corner, kBlue, panel).top(), panel.top());
    // An empty product name paints nothing.
    g_setup.productName[0] = '\0';
    QImage none = paintWith("");
    EXPECT_TRUE(Ink(none, kBlue, panel).isEmpty() && Ink(none, kWhite, panel).isEmpty());

    // The logo panel: a sunken frame, grey at the left and top, white at
    // the right and bottom, around the logo stretched unsmoothed, each of
    // its pixels a block of 118 / 64 by 208 / 64 of its own colour.
    QImage logo(kSource + "/resources/logo.bmp"), image = Grab(page.logoPanel());
    ASSERT_EQ(image.size(), QSize(120, 210));
    EXPECT_EQ(Chars(image, {0, 0}, {0, 1}, 210) + Chars(image, {0, 0}, {1, 0}, 120),
              QString(209, 'g') + 'w' + QString(119, 'g') + 'w');
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
