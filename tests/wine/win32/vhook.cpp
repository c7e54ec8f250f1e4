// VHOOK.DLL: the driver's observer inside VSETUP.EXE.
//
// The driver hooks VSETUP.EXE's thread with WatchCallWndRet, which loads this
// library into the installer. From there it records, in the order they
// happen, what the installer shows on its own: the status lines (controls
// 1001 and 1002), the progress bar's positions, and the process launches
// (CreateProcessA is redirected through WatchedCreateProcessA, which records
// the command line and whether it started).
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <string>

#include "json_line.h"

namespace {

bool g_inSetup = false;
std::wstring g_log;

typedef BOOL(WINAPI* CreateProcessAProc)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                         LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
CreateProcessAProc g_createProcess = nullptr;

std::wstring FromAnsi(const char* text) {
    if (text == nullptr) return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], size);
    if (!out.empty()) out.resize(out.size() - 1);
    return out;
}

BOOL WINAPI WatchedCreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES process,
                                  LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                  LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information) {
    std::wstring command = FromAnsi(command_line);
    BOOL started = g_createProcess(application, command_line, process, thread, inherit, flags, environment, directory,
                                   startup, information);
    DWORD error = GetLastError();
    AppendLine(g_log, "{\"event\":\"launch\",\"command\":" + JsonString(command) +
                          ",\"started\":" + (started ? "true" : "false") + "}");
    SetLastError(error);
    return started;
}

// Points the module's import of KERNEL32!CreateProcessA at the watcher.
void RedirectCreateProcess(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; import->Name != 0; ++import) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), "KERNEL32.dll") != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), "CreateProcessA") != 0) continue;
            DWORD old_protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old_protection))
                return;
            g_createProcess = reinterpret_cast<CreateProcessAProc>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&WatchedCreateProcessA);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old_protection, &old_protection);
            return;
        }
    }
}

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
            RedirectCreateProcess(GetModuleHandleW(nullptr));
            AppendLine(g_log, "{\"event\":\"observer\",\"attached\":true}");
        }
    }
    return TRUE;
}
