// vsetup-shots: renders the windowed wizard's pages to PNG files, for the
// documentation.
//
//     QT_QPA_PLATFORM=offscreen vsetup-shots OUTPUT_DIR DISK_DIR
//
// writes qt-welcome.png, qt-finish.png and qt-installing.png. The disk is
// set up in a scratch prefix where it is drive A:, so the pictures show the
// paths a user with the diskette sees; the installing picture is taken from
// a real run when its progress bar first reaches 40 percent.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "installer/core/setup_state.h"
#include "platform/platform.h"
#include "installer/run_install.h"
#include "wizard/qt/qt_frontend.h"
#include "wizard/qt/wizard_pages.h"

namespace {

QString g_outputDir;

bool Save(QWidget* widget, const char* name) {
    QString path = QDir(g_outputDir).filePath(QString::fromLatin1(name));
    if (!widget->grab().save(path, "PNG")) {
        std::fprintf(stderr, "vsetup-shots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vsetup-shots OUTPUT_DIR DISK_DIR\n");
        return 2;
    }
    QApplication app(argc, argv);
    g_outputDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QString disk = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();

    QTemporaryDir prefix;
    if (!prefix.isValid() || !QDir().mkpath(prefix.filePath("dosdevices")) ||
        !QFile::link(disk, prefix.filePath("dosdevices/a:"))) {
        std::fprintf(stderr, "vsetup-shots: cannot make a scratch prefix\n");
        return 1;
    }
    setenv("VSETUP_PREFIX", qPrintable(prefix.path()), 1);
    if (!PlatStartup() || chdir(qPrintable(disk)) != 0) {
        std::fprintf(stderr, "vsetup-shots: cannot start: %s\n", PlatStartupError());
        return 1;
    }

    ApplyClassicLook();
    InitSetupState();
    VorelWizard wizard;
    wizard.show();
    bool ok = Save(&wizard, "qt-welcome.png");
    wizard.next();
    ok = Save(&wizard, "qt-finish.png") && ok;

    // The run answers the completion prompt with No; the first progress
    // update at or past 40 percent takes the picture, from inside the run.
    class ShotFrontEnd : public QtFrontEnd {
    public:
        ShotFrontEnd(VorelWizard* wizard, bool* ok) : QtFrontEnd(wizard), wizard_(wizard), ok_(ok) {}
        void SetProgressPos(PlatWindow bar, int position) override {
            QtFrontEnd::SetProgressPos(bar, position);
            if (!taken && position >= 40) {
                taken = true;
                *ok_ = Save(wizard_, "qt-installing.png") && *ok_;
            }
        }
        bool taken = false;

    private:
        VorelWizard* wizard_;
        bool* ok_;
    } front(&wizard, &ok);
    QtFrontEnd::SetMessageHook([](QMessageBox&) { return QMessageBox::No; });
    wizard.ShowInstallingButtons();
    {
        PlatFrontEndGuard guard(&front);
        RunInstall(ToPlatWindow(wizard.Finish()));
    }
    bool taken = front.taken;
    PlatShutdown();
    if (!taken) std::fprintf(stderr, "vsetup-shots: the run never reached 40 percent\n");
    return ok && taken ? 0 : 1;
}
