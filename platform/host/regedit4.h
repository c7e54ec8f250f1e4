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
    bool ends_key = false;
    // The number of the item's first line, from 1.
    size_t line = 0;
};

// Reads text (which it does not copy) item by item. Lines end in LF, with or
// without a CR before it; blank lines, lines starting with ";" and the
// header are passed over. A hex list goes on over the following lines while
// a line ends in a backslash. A last line without a line end is not read.
class Reg4Reader {
public:
    Reg4Reader(const char* text, size_t size);
    // The next item; false at the end of the text.
    bool Next(Reg4Item* item);

private:
    const char* p_;
    const char* end_;
    size_t line_ = 0;
    bool has_zeros_;
};

// Appends `"name"=value` (or `@=value`) with its line end. A REG_SZ holding a
// CR, an LF or a zero byte cannot be quoted and is written as hex(1) bytes
// with its zero; a REG_DWORD that is not 4 bytes long as hex(4).
void Reg4AppendValue(std::string* out, const std::string& name, uint32_t type, const std::string& data);

// Whether text (size bytes) equals the zero-terminated name without regard to
// case.
bool Reg4EqualNoCase(const char* text, size_t size, const char* name);

#endif
