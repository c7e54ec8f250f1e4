// The platform services over the ANSI Win32 API, as Windows 95 offers it.
//
// Each function is the matching API call and nothing more: the rules the
// installer follows live in the core, and what the system does (profile
// files, registry, LZ expansion) is left to the system.
#include "platform/platform.h"

#include <windows.h>
#include <commctrl.h>
#include <lzexpand.h>

#include <cstdarg>
#include <cstring>

#include "resources/resource.h"

namespace {

HWND ToWindow(PlatWindow window) { return static_cast<HWND>(window); }

HKEY ToKey(PlatKey key) { return static_cast<HKEY>(key); }

DWORD ClampSize(size_t size) { return size > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(size); }

// Copies text into buffer when it fits with its zero; otherwise leaves the
// buffer empty. Returns non-zero when it fitted.
int CopyWhole(const char* text, char* buffer, size_t size) {
    size_t length = std::strlen(text);
    if (length >= size) {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return 1;
}

// A directory call that reports the length needed when the buffer is short;
// a short buffer is left empty rather than holding a cut path.
void SystemPath(UINT(WINAPI* query)(LPSTR, UINT), char* buffer, size_t size) {
    char path[MAX_PATH + 1];
    UINT length = query(path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        if (size > 0) buffer[0] = '\0';
        return;
    }
    CopyWhole(path, buffer, size);
}

}  // namespace

// ---------------------------------------------------------------- start-up

int PlatStartup() { return 1; }

int PlatShutdown() { return 1; }

const char* PlatStartupError() { return ""; }

// ---------------------------------------------------------------- directories

int PlatGetCurrentDirectory(char* buffer, size_t size) {
    if (size == 0) return 0;
    // The length without the zero when it fitted, the size needed otherwise.
    DWORD length = GetCurrentDirectoryA(ClampSize(size), buffer);
    if (length == 0 || length >= size) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

void PlatGetWindowsDirectory(char* buffer, size_t size) { SystemPath(GetWindowsDirectoryA, buffer, size); }

void PlatGetSystemDirectory(char* buffer, size_t size) { SystemPath(GetSystemDirectoryA, buffer, size); }

int PlatCreateDirectory(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return 1;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

// ---------------------------------------------------------------- text rules

int PlatFormatText(char* out, size_t size, const char* format, ...) {
    // wvsprintfA writes at most 1024 characters and a zero.
    char text[1025];
    va_list arguments;
    va_start(arguments, format);
    int n = wvsprintfA(text, format, arguments);
    va_end(arguments);
    if (n < 0) n = 0;
    size_t length = static_cast<size_t>(n);
    if (length >= size || length >= sizeof text - 1) {
        std::memcpy(out, text, size - 1);
        out[size - 1] = '\0';
        return -1;
    }
    std::memcpy(out, text, length + 1);
    return n;
}

int PlatEqualNoCase(const char* a, const char* b) { return lstrcmpiA(a, b) == 0 ? 1 : 0; }

void PlatLowerCase(char* text) { CharLowerA(text); }

// ---------------------------------------------------------------- profile files

size_t PlatGetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer, size_t size,
                            const char* file) {
    return GetPrivateProfileStringA(section, key, defaultValue ? defaultValue : "", buffer, ClampSize(size), file);
}

int PlatGetProfileInt(const char* section, const char* key, int defaultValue, const char* file) {
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, file));
}

int PlatWriteProfileString(const char* section, const char* key, const char* value, const char* file) {
    return WritePrivateProfileStringA(section, key, value, file) ? 1 : 0;
}

// ---------------------------------------------------------------- registry

long PlatRegOpenKey(PlatKey parent, const char* path, unsigned access, PlatKey* key) {
    HKEY opened = nullptr;
    LONG result = RegOpenKeyExA(ToKey(parent), path, 0, access, &opened);
    *key = result == ERROR_SUCCESS ? opened : nullptr;
    return result;
}

long PlatRegCreateKey(PlatKey parent, const char* path, PlatKey* key) {
    HKEY created = nullptr;
    LONG result = RegCreateKeyA(ToKey(parent), path, &created);
    *key = result == ERROR_SUCCESS ? created : nullptr;
    return result;
}

// Reports a failed registry write, once per run, naming the file that holds
// the machine's registry.
static long ReportedRegistryResult(long result) {
    static bool reported = false;
    if (result == ERROR_SUCCESS || reported) return result;
    reported = true;
    char text[MAX_PATH + 64];
    char windows[MAX_PATH];
    if (GetWindowsDirectoryA(windows, sizeof windows) == 0) windows[0] = '\0';
    wsprintfA(text, "Can't write to the registry file %s\\SYSTEM.DAT.", windows);
    PlatMessageBox(text, "Error", PLAT_MB_OK | PLAT_MB_ICONERROR);
    return result;
}

long PlatRegSetValue(PlatKey key, const char* name, unsigned type, const void* data, size_t size) {
    return ReportedRegistryResult(
        RegSetValueExA(ToKey(key), name, 0, type, static_cast<const BYTE*>(data), ClampSize(size)));
}

long PlatRegFlushKey(PlatKey key) { return ReportedRegistryResult(RegFlushKey(ToKey(key))); }

long PlatRegCloseKey(PlatKey key) { return RegCloseKey(ToKey(key)); }

// ---------------------------------------------------------------- files

PlatFile PlatFileOpenRead(const char* path) {
    HFILE file = _lopen(path, OF_READ | OF_SHARE_DENY_WRITE);
    return file == HFILE_ERROR ? PLAT_NO_FILE : static_cast<PlatFile>(file);
}

long long PlatFileSize(PlatFile file) {
    HFILE handle = static_cast<HFILE>(file);
    LONG here = _llseek(handle, 0, FILE_CURRENT);
    if (here == HFILE_ERROR) return -1;
    LONG end = _llseek(handle, 0, FILE_END);
    if (end == HFILE_ERROR) return -1;
    if (_llseek(handle, here, FILE_BEGIN) == HFILE_ERROR) return -1;
    return end;
}

long PlatFileRead(PlatFile file, void* buffer, size_t size) {
    HFILE handle = static_cast<HFILE>(file);
    char* out = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < size) {
        size_t want = size - total;
        if (want > 0x7FFF0000u) want = 0x7FFF0000u;
        UINT got = _lread(handle, out + total, static_cast<UINT>(want));
        if (got == static_cast<UINT>(HFILE_ERROR)) return -1;
        if (got == 0) break;
        total += got;
    }
    return static_cast<long>(total);
}

void PlatFileClose(PlatFile file) { _lclose(static_cast<HFILE>(file)); }

int PlatDeleteFile(const char* path) { return DeleteFileA(path) ? 1 : 0; }

int PlatCreateTempFile(const char* directory, char* pathOut, size_t size) {
    char path[MAX_PATH];
    if (GetTempFileNameA(directory, "vst", 0, path) == 0) {
        if (size > 0) pathOut[0] = '\0';
        return 0;
    }
    if (!CopyWhole(path, pathOut, size)) {
        DeleteFileA(path);
        return 0;
    }
    return 1;
}

int PlatPrepareReplace(const char* source, const char* destination) {
    (void)source;
    DWORD attributes = GetFileAttributesA(destination);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
}

// PlatLzCopy flushes each file it writes; Windows 95 has no way to sync a
// directory, and its moves are as durable as the file system makes them.
int PlatSyncFiles(const char* const* paths, int count) {
    (void)paths;
    (void)count;
    return 1;
}

int PlatSyncDirectory(const char* directory) {
    (void)directory;
    return 1;
}

// Windows 95 has no MoveFileEx: an existing destination is first moved aside
// to destination + ".vs~", and moved back when the source cannot take its
// place. A read-only file or a directory in the way is refused, as the
// Linux build refuses it, and nothing is left behind. An aside file that a
// crash left without its replacement is put back before anything else.
int PlatReplaceFile(const char* source, const char* destination) {
    char aside[MAX_PATH];
    size_t length = std::strlen(destination);
    if (length + 5 > sizeof aside) return 0;
    std::memcpy(aside, destination, length);
    std::memcpy(aside + length, ".vs~", 5);
    DWORD attributes = GetFileAttributesA(destination);
    if (attributes == INVALID_FILE_ATTRIBUTES && GetFileAttributesA(aside) != INVALID_FILE_ATTRIBUTES &&
        MoveFileA(aside, destination))
        attributes = GetFileAttributesA(destination);
    if (attributes == INVALID_FILE_ATTRIBUTES) return MoveFileA(source, destination) ? 1 : 0;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return 0;
    // What is there under the aside name is left from a replacement that
    // was complete.
    DeleteFileA(aside);
    if (!MoveFileA(destination, aside)) return 0;
    if (!MoveFileA(source, destination)) {
        MoveFileA(aside, destination);
        return 0;
    }
    DeleteFileA(aside);
    return 1;
}

// ---------------------------------------------------------------- LZ expansion

namespace {

// Handles from LZOpenFile below this value are plain file handles; the LZ
// library numbers its own from here up.
const INT kFirstLzHandle = 0x400;

PlatLz OpenLz(const char* path, WORD mode) {
    char name[MAX_PATH];
    if (!CopyWhole(path, name, sizeof name)) return PLAT_LZ_NOT_FOUND;
    OFSTRUCT info;
    std::memset(&info, 0, sizeof info);
    // Failures come back as negative codes; "cannot open" is HFILE_ERROR,
    // the same value as PLAT_LZ_NOT_FOUND.
    return static_cast<PlatLz>(LZOpenFileA(name, &info, mode));
}

}  // namespace

PlatLz PlatLzOpenRead(const char* path) { return OpenLz(path, OF_READ | OF_SHARE_DENY_WRITE); }

PlatLz PlatLzOpenWrite(const char* path) { return OpenLz(path, OF_CREATE | OF_WRITE | OF_SHARE_EXCLUSIVE); }

long long PlatLzCopy(PlatLz source, PlatLz destination) {
    LONG result = LZCopy(static_cast<INT>(source), static_cast<INT>(destination));
    if (result >= 0 && destination >= 0 && destination < kFirstLzHandle) {
        HANDLE file = reinterpret_cast<HANDLE>(destination);
        if (!FlushFileBuffers(file)) return PLAT_LZ_ERROR_WRITE;
    }
    return result;
}

void PlatLzClose(PlatLz handle) { LZClose(static_cast<INT>(handle)); }

// ---------------------------------------------------------------- processes

int PlatLaunch(const char* commandLine) {
    // CreateProcessA may write into the command line; it gets a copy.
    char command[1024];
    if (PlatFormatText(command, sizeof command, "%s", commandLine) < 0) return 0;
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &process)) {
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

// ---------------------------------------------------------------- dialogue

int PlatMessageBox(const char* text, const char* caption, unsigned style) {
    // The run holds the thread, so what the user typed or clicked meanwhile
    // waits in the queue; the box is answered only by what comes once it is
    // up.
    MSG queued;
    while (PeekMessageA(&queued, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
    while (PeekMessageA(&queued, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    while (PeekMessageA(&queued, nullptr, WM_NCMOUSEMOVE, WM_NCMBUTTONDBLCLK, PM_REMOVE)) {
    }
    return MessageBoxA(GetFocus(), text, caption, style);
}

void PlatSetItemText(PlatWindow page, int control, const char* text) { SetDlgItemTextA(ToWindow(page), control, text); }

PlatWindow PlatCreateProgressBar(PlatWindow page) {
    const PageRect& at = kProgressBarRect;
    HWND bar = CreateWindowA(PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, at.x, at.y, at.width, at.height,
                             ToWindow(page), nullptr, GetModuleHandleA(nullptr), nullptr);
    if (bar != nullptr) {
        SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageA(bar, PBM_SETSTEP, 1, 0);
    }
    return bar;
}

void PlatSetProgressPos(PlatWindow bar, int position) {
    SendMessageA(ToWindow(bar), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void PlatDestroyWindow(PlatWindow window) { DestroyWindow(ToWindow(window)); }

void PlatSetFocus(PlatWindow window) { SetFocus(ToWindow(window)); }
