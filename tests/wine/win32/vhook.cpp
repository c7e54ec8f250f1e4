// VHOOK.DLL: the driver's observer inside VSETUP.EXE.
//
// The driver hooks VSETUP.EXE's thread with WatchCallWndRet, which loads this
// library into the installer. From there it records, in the order they
// happen, what the installer shows on its own: the status lines (controls
// 1001 and 1002) and the progress bar's positions.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <string>

#include "json_line.h"

namespace {

bool g_inSetup = false;
std::wstring g_log;

bool IsSetupProcess() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
    return lstrcmpiW(name, L"VSETUP.EXE") == 0;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK WatchCallWndRet(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && g_inSetup) {
        const auto* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (sent->message == WM_SETTEXT) {
            int control = GetDlgCtrlID(sent->hwnd);
            if ((control == 1001 || control == 1002) && lstrcmpiW(ClassOf(sent->hwnd).c_str(), L"Static") == 0) {
                char number[16];
                wsprintfA(number, "%d", control);
                AppendLine(g_log, std::string("{\"event\":\"status\",\"control\":") + number +
                                      ",\"text\":" + JsonString(WindowText(sent->hwnd)) + "}");
            }
        } else if (sent->message == PBM_SETPOS && lstrcmpiW(ClassOf(sent->hwnd).c_str(), L"msctls_progress32") == 0) {
            char number[16];
            wsprintfA(number, "%d", static_cast<int>(sent->wParam));
            AppendLine(g_log, std::string("{\"event\":\"progress\",\"position\":") + number + "}");
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && IsSetupProcess()) {
        wchar_t path[MAX_PATH * 2];
        DWORD length = GetEnvironmentVariableW(VSETUP_DRIVE_LOG_VARIABLE, path, MAX_PATH * 2);
        if (length > 0 && length < MAX_PATH * 2) {
            g_log.assign(path, length);
            g_inSetup = true;
            AppendLine(g_log, "{\"event\":\"observer\",\"attached\":true}");
        }
    }
    return TRUE;
}
