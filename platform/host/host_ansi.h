// Text rules of the Windows-1252 code page, as the host backend applies them
// to file, section, key and value names and to the lines of text files.
#ifndef VSETUP_HOST_ANSI_H
#define VSETUP_HOST_ANSI_H

#include <string>

// CharLowerA's mapping for Windows-1252, byte by byte.
struct HostLowerMap {
    unsigned char map[256];
};
extern const HostLowerMap kHostLower;

// The lower-case form of one byte.
inline unsigned char HostLowerByte(unsigned char byte) { return kHostLower.map[byte]; }
// The lower-case form of a whole text.
std::string HostLower(const std::string& text);
// Equality without regard to case.
bool HostEqualNoCase(const std::string& a, const std::string& b);

// Converts UTF-16LE bytes to Windows-1252. false when their count is odd or
// a character has no Windows-1252 form.
bool HostUtf16ToAnsi(const std::string& utf16, std::string* ansi);

// A blank inside a line of a text file: space or tab.
inline bool HostIsBlank(char c) { return c == ' ' || c == '\t'; }

#endif
