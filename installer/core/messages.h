// Showing the installer's messages.
#ifndef VSETUP_INSTALLER_CORE_MESSAGES_H
#define VSETUP_INSTALLER_CORE_MESSAGES_H

// "Error" box with the error icon and OK.
void ShowError(const char* text);
// Composes format with one or two %s arguments into g_setup.messageText and
// shows it as an error. The last argument is shortened with "..." when the
// whole would not fit, so the message always keeps its own words.
void ShowErrorF(const char* format, const char* first, const char* second = nullptr);
// Shortens text for quoting in a message: at most maxChars bytes, ending in
// "..." when cut. Writes into out (maxChars + 1 bytes at least).
void QuoteForMessage(const char* text, char* out, unsigned maxChars);

#endif
