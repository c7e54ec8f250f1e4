#include "installer/core/messages.h"

#include <cstring>

#include "installer/core/setup_state.h"

void ShowError(const char* text) { PlatMessageBox(text, "Error", PLAT_MB_OK | PLAT_MB_ICONERROR); }

void QuoteForMessage(const char* text, char* out, unsigned maxChars) {
    size_t length = std::strlen(text);
    if (length <= maxChars) {
        std::memcpy(out, text, length + 1);
        return;
    }
    std::memcpy(out, text, maxChars - 3);
    std::memcpy(out + maxChars - 3, "...", 4);
}

void ShowErrorF(const char* format, const char* first, const char* second) {
    const size_t capacity = sizeof g_setup.messageText - 1;
    size_t fixed = std::strlen(format) - (second ? 4 : 2);
    if (second) fixed += std::strlen(first);
    const char* last = second ? second : first;
    unsigned room = fixed < capacity - 8 ? static_cast<unsigned>(capacity - fixed) : 8;
    char quoted[256];
    QuoteForMessage(last, quoted, room);
    if (second)
        PlatFormatText(g_setup.messageText, sizeof g_setup.messageText, format, first, quoted);
    else
        PlatFormatText(g_setup.messageText, sizeof g_setup.messageText, format, quoted);
    ShowError(g_setup.messageText);
}
