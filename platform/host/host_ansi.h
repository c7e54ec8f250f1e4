// Case rules of the Windows-1252 code page, as the host backend applies them
// to file, section, key and value names.
#ifndef VSETUP_HOST_ANSI_H
#define VSETUP_HOST_ANSI_H

#include <string>

// The lower-case form of one byte (CharLowerA's mapping for Windows-1252).
unsigned char HostLowerByte(unsigned char byte);
// The lower-case form of a whole text.
std::string HostLower(const std::string& text);
// Equality without regard to case.
bool HostEqualNoCase(const std::string& a, const std::string& b);

#endif
