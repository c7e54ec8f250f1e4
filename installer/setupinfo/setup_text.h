// "setup.dat" as the list-section reader sees it.
#ifndef VSETUP_INSTALLER_SETUPINFO_SETUP_TEXT_H
#define VSETUP_INSTALLER_SETUPINFO_SETUP_TEXT_H

#include <cstddef>

// The end marker that follows the text.
const unsigned char kEndMarker = 0x1A;

// The comment-free text of "setup.dat", then kEndMarker.
struct SetupText {
    char* bytes;  // null while empty
    long length;  // bytes including the end marker; 0 while empty
};

extern SetupText g_setupText;

// Loads g_setup.setupFile into g_setupText. 1 on success, 0 on failure.
int LoadSetupText();
// Parses bytes from memory into g_setupText (the loader's rules without the
// file). 1 on success, 0 when memory could not be had.
int LoadSetupTextFromMemory(const char* data, size_t size);
// Frees g_setupText; releasing an empty text does nothing.
void ReleaseSetupText();

// Position of the first byte of the section's body, or -1.
long FindSection(const char* text, long length, const char* header);

// Size of the line buffer, terminating zero included.
enum { kLineSize = 256 };
enum ReadLineResult { kLineEnd = 0, kLineRead = 1, kLineTooLong = 2 };
// Reads the next line of the section into line (kLineSize bytes), with its
// line end, then a zero. Returns kLineRead and advances position past it;
// kLineEnd at the end of the section; kLineTooLong, with position past the
// line and line holding its start, when it does not fit.
int ReadSectionLine(const char* text, char* line, long* position);
// Non-zero when the line carries nothing.
int IsBlankLine(const char* line);

#endif
