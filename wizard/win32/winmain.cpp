// The program entry and the main window of VSETUP.EXE.
#include <windows.h>
#include <commctrl.h>

#include "installer/core/setup_state.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "wizard/win32/win32_wizard.h"

const char kMainClassName[] = "VorelWClass";
const char kLogoClassName[] = "BmpWClass";

namespace {

ATOM RegisterOne(HINSTANCE instance, const char* name, WNDPROC procedure) {
    WNDCLASSA windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = procedure;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VOREL));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = name;
    return RegisterClassA(&windowClass);
}

}  // namespace

int RegisterClasses(HINSTANCE instance) {
    if (!RegisterOne(instance, kMainClassName, MainWndProc)) return 0;
    return RegisterOne(instance, kLogoClassName, BmpWndProc) ? 1 : 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
    return CreateWindowA(kMainClassName, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        ShowWizard(window, static_cast<HINSTANCE>(g_setup.instance));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    InitCommonControls();
    g_setup.instance = instance;
    if (!RegisterClasses(instance)) return 0;
    PlatStartup();
    InitSetupState();
    // The wizard runs while the main window is being created.
    if (CreateMainWindow(instance) == nullptr) return 0;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (!PlatShutdown()) return 1;
    return static_cast<int>(message.wParam);
}
