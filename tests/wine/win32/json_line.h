// Transcript lines shared by the driver and its hook: JSON objects, one a
// line, appended to the file the driver names.
#ifndef VSETUP_TESTS_WINE_JSON_LINE_H
#define VSETUP_TESTS_WINE_JSON_LINE_H

#include <windows.h>

#include <string>

// The environment variable through which the driver tells the hook where
// the transcript goes.
#define VSETUP_DRIVE_LOG_VARIABLE L"VSETUP_DRIVE_LOG"

inline std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3 + 1, '\0');  // room for any character
    out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                                       static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

// A JSON string literal for UTF-8 text.
inline std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char escape[8] = {static_cast<char>(c), 0};
        if (c == '"' || c == '\\')
            wsprintfA(escape, "\\%c", c);
        else if (c < 0x20)
            wsprintfA(escape, c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : "\\u%04x", c);
        out += escape;
    }
    return out + "\"";
}

inline std::string JsonString(const std::wstring& text) { return JsonString(Utf8(text)); }

// Appends one line to the transcript; each write is whole, so the driver and
// the hook can share the file.
inline void AppendLine(const std::wstring& path, const std::string& line) {
    if (path.empty()) return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    FlushFileBuffers(file);
    CloseHandle(file);
}

inline std::wstring WindowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = GetWindowTextW(window, &text[0], length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

inline std::wstring ClassOf(HWND window) {
    wchar_t name[64];
    int length = GetClassNameW(window, name, 64);
    return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

#endif
