// Showing the installer's messages.
#ifndef VSETUP_CORE_MESSAGES_H
#define VSETUP_CORE_MESSAGES_H

// "Error" box with the error icon and OK.
void ShowError(const char* text);
// Composes text from format into g_setup.messageText and shows it as an
// error; arguments that do not fit are cut with "..." so that the message
// always names what it is about.
void ShowErrorF(const char* format, const char* argument);
// Shortens text for quoting in a message: at most max_chars bytes, ending in
// "..." when cut. Writes into out (max_chars + 1 bytes at least).
void QuoteForMessage(const char* text, char* out, unsigned max_chars);

#endif
