// The REGEDIT4 text form of registry keys and values, as Windows 95's regedit
// exports and imports it:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Vorel]
//   @="default value"
//   "Name"="text with \\ and \" escaped"
//   "Data"=hex:01,02,03
//   "Count"=dword:0000000a
//   "Other"=hex(7):61,00,00
//
// Reg4Reader reads such text item by item; the Reg4Append functions write it
// byte for byte as regedit does (lines end in CR LF, hex lists wrap after
// column 76 with a backslash and two blanks).
#ifndef VSETUP_HOST_REGEDIT4_H
#define VSETUP_HOST_REGEDIT4_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

const uint32_t kReg4String = 1;  // REG_SZ
const uint32_t kReg4Binary = 3;  // REG_BINARY
const uint32_t kReg4Dword = 4;   // REG_DWORD

// The first line of a file, with its line end.
extern const char kReg4Header[];

// One thing the text says, in the order it says it.
struct Reg4Item {
    enum Kind {
        kKey,          // "[path]": the values that follow belong to key
        kDeleteKey,    // "[-path]"
        kValue,        // name, type and data of one value
        kDeleteValue,  // "name"=-
        kBroken,       // a line that cannot be read
    };
    Kind kind = kBroken;
    // For kKey and kDeleteKey: the path as written between the brackets.
    std::string_view key;
    // For kValue and kDeleteValue. "" is the key's unnamed value ("@"). A
    // REG_SZ's data comes without its terminating zero.
    std::string name;
    uint32_t type = 0;
    std::string data;
    // For kBroken: whether the values that follow belong to no key (the line
    // may have been the key's own line, or holds zero bytes, which is what an
    // interrupted write leaves).
    bool endsKey = false;
    // The number of the item's first line, from 1, and that line as it is
    // in the text (without its line end).
    size_t line = 0;
    std::string_view text;
};

struct Reg4Lines;

// Reads text (which it does not copy) item by item, as regedit imports it.
// Lines end in LF, CR LF or a lone CR, mixed as they come; blank lines,
// lines starting with ";" and the header ("REGEDIT4", or "Windows Registry
// Editor Version 5.00", whose texts in hex(1), hex(2) and hex(7) values are
// UTF-16LE and are converted to Windows-1252) are passed over. A comment may
// follow a value, text may follow the "]" of a key line, a hex list may end
// in a comma and goes on over the following lines while a line ends in a
// backslash, with blank and comment lines between them passed over.
//
// strict reads a file as it is: a last line without a line end is read, a
// line is read up to a zero byte in it, and a first line other than a
// header is kBroken. Otherwise the reader takes the text as the store's own,
// where a last line without a line end is the remains of a cut write and
// is not read, and a line holding a zero byte is kBroken with ends_key.
class Reg4Reader {
public:
    Reg4Reader(const char* text, size_t size, bool strict = false);
    ~Reg4Reader();
    Reg4Reader(const Reg4Reader&) = delete;
    Reg4Reader& operator=(const Reg4Reader&) = delete;
    // The next item; false at the end of the text.
    bool Next(Reg4Item* item);

private:
    Reg4Lines* lines_;
    bool strict_;
    bool hasZeros_;
    bool seenHeader_ = false;
    bool version5_ = false;
};

// Appends `"name"=value` (or `@=value`) with its line end. A REG_SZ holding a
// CR, an LF or a zero byte cannot be quoted and is written as hex(1) bytes
// with its zero; a REG_DWORD that is not 4 bytes long as hex(4).
void Reg4AppendValue(std::string* out, const std::string& name, uint32_t type, const std::string& data);

// Whether text (size bytes) equals the zero-terminated name without regard to
// case.
bool Reg4EqualNoCase(const char* text, size_t size, const char* name);

#endif
