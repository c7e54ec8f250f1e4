// Private profile (INI) files on the host, read and written the way
// GetPrivateProfileStringA, GetPrivateProfileIntA and
// WritePrivateProfileStringA treat them. All text is 8-bit Windows-1252.
//
// How a file is read:
// - Lines end in LF, CR LF or a lone CR. A file may end without a line end.
// - "[name]" starts a section (blanks around the line and around the name are
//   ignored; text after "]" too). A "[" line without "]" is no header.
// - In a section, "key = value" is a key; blanks around the key and around
//   "=" and trailing blanks of the value are dropped, and a value enclosed in
//   matching quotes (" or ') loses them. A line without "=" is no key, a line
//   starting with ";" is a comment. Lines before the first header belong to
//   no section.
// - Section and key names match without regard to case; the first section of
//   a name and the first key of a name in it are the ones that count.
//
// How a write changes a file: only the line of the key (or the lines added)
// change, every other byte stays as it was. An existing key line becomes
// "Key=value" with the key's spelling and line end kept; a new key goes after
// the last non-blank line of its section; a new section goes at the end. New
// lines end in CR LF unless the file's first line end is a bare LF.
#ifndef VSETUP_HOST_PROFILE_ENGINE_H
#define VSETUP_HOST_PROFILE_ENGINE_H

#include <string>

#include "platform/host/host_io.h"

// The value of key in section of the INI text data; false when the section or
// the key is absent.
bool IniRead(const std::string& data, const std::string& section, const std::string& key, std::string* value);

// data with key in section created or replaced by value.
std::string IniEdit(const std::string& data, const std::string& section, const std::string& key,
                    const std::string& value);

// A value read as GetPrivateProfileIntA reads it: an empty value gives
// defaultValue (as an absent key does); otherwise optional leading blanks, an
// optional "-", then the leading decimal digits (wrapping as a 32-bit number
// does), and 0 when there are no digits.
int IniParseInt(const std::string& value, int defaultValue);

// IniRead on the file at hostPath; a missing or unreadable file reads as
// absent.
bool IniReadFile(const std::string& hostPath, const std::string& section, const std::string& key, std::string* value);

// data without key in section, or without the whole section (its header and
// every line up to the next section) when key is null.
std::string IniDelete(const std::string& data, const std::string& section, const std::string* key);

// WritePrivateProfileStringA on the file at hostPath (a missing file is
// empty): IniEdit with key and value, IniDelete of the key when value is
// null, of the section when key is null. The result replaces the file with
// HostReplaceFileWhole. Trailing end-of-file bytes (0x1A) stay at the end. A
// UTF-16 file (it starts with a byte order mark) is not edited. false on any
// failure.
bool IniWriteFile(const std::string& hostPath, const std::string& section, const std::string* key,
                  const std::string* value);
inline bool IniWriteFile(const std::string& hostPath, const std::string& section, const std::string& key,
                         const std::string& value) {
    return IniWriteFile(hostPath, section, &key, &value);
}

#endif
