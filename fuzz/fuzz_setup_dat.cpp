// setup.dat as the copy and registry steps read it: the loader, the section
// lookup, the line reader and both splitters, then the rules that turn a
// copy-list entry into the name of an installed file.
//
// Invariants: the text ends in its one end marker and holds no comment; a
// section body starts at a line start; every line read is the text's bytes up
// to and with its line end, no longer than the line buffer, and reading always
// moves on; a name that passes StripDirectory and IsSafeFileName can only name
// a file in its own directory.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "installer/core/setup_state.h"
#include "fuzz/fuzz_check.h"
#include "installer/steps/copy_files.h"
#include "installer/setupinfo/fields.h"
#include "installer/setupinfo/setup_text.h"

namespace {

bool IsMarker(char c) { return static_cast<unsigned char>(c) == kEndMarker; }

void CheckInstalledName(const char* listed) {
    const size_t listedLength = std::strlen(listed);
    FUZZ_CHECK(listedLength < 256);
    char name[kPathSize];
    std::memcpy(name, listed, listedLength + 1);
    if (!StripDirectory(name)) {
        FUZZ_CHECK(std::strcmp(name, listed) == 0);  // left as it was
        return;
    }
    // No separator left, and the last part of the listed name.
    const size_t length = std::strlen(name);
    FUZZ_CHECK(length <= 127 && !std::strpbrk(name, "\\/") && std::strcmp(listed + listedLength - length, name) == 0);
    ExpandCompressedName(name);
    FUZZ_CHECK(std::strlen(name) == length);
    // A safe name is an entry of its own directory: neither the directory
    // itself nor its parent, and no separator or drive that leads elsewhere.
    if (IsSafeFileName(name))
        FUZZ_CHECK(*name && !std::strpbrk(name, "\\/:") && std::strcmp(name, ".") && std::strcmp(name, ".."));
}

void ReadList(const char* text, long length, long position, bool copyList) {
    char line[kLineSize];
    for (;;) {
        const long start = position;
        int read = ReadSectionLine(text, line, &position);
        FUZZ_CHECK(position >= start && position < length);
        if (read == kLineEnd) {
            FUZZ_CHECK(line[0] == '\0' && (text[position] == '[' || IsMarker(text[position])));
            return;
        }
        FUZZ_CHECK(position > start && (text[position - 1] == '\n' || IsMarker(text[position])));
        // A line too long keeps the buffer's worth; a line read is all of it.
        const size_t kept = read == kLineTooLong ? kLineSize - 1 : static_cast<size_t>(position - start);
        FUZZ_CHECK(read == kLineTooLong ? position - start > kLineSize - 1
                                        : read == kLineRead && position - start <= kLineSize - 1);
        FUZZ_CHECK(std::memcmp(line, text + start, kept) == 0 && line[kept] == '\0');
        if (read == kLineTooLong || IsBlankLine(line)) continue;
        if (copyList) {
            CopyEntry entry;
            SplitCopyLine(line, &entry);
            FUZZ_CHECK(entry.diskId[1] == '\0');
            CheckInstalledName(entry.fileName);
        } else {
            RegEntry entry;
            std::memset(&entry, 0, sizeof entry);
            const char* overlong = nullptr;
            int count = SplitRegLine(line, &entry, &overlong);
            FUZZ_CHECK(count >= 1 && count <= 5 && std::strlen(entry.root) < sizeof entry.root);
            FUZZ_CHECK(std::strlen(entry.subkey) < sizeof entry.subkey &&
                       std::strlen(entry.valueName) < sizeof entry.valueName);
            FUZZ_CHECK(!overlong || std::strlen(entry.valueName) == sizeof entry.valueName - 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!LoadSetupTextFromMemory(reinterpret_cast<const char*>(data), size)) return 0;
    const char* text = g_setupText.bytes;
    const long length = g_setupText.length;
    FUZZ_CHECK(text && length >= 1 && static_cast<size_t>(length) <= size + 1 && IsMarker(text[length - 1]));
    FUZZ_CHECK(!std::memchr(text, kEndMarker, length - 1) && !std::memchr(text, ';', length));

    for (const char* header : {"[WindowsDir]", "[SystemDir]", "[Prev.DelReg]", "[Driver.AddReg]"}) {
        long position = FindSection(text, length, header);
        if (position == -1) continue;
        FUZZ_CHECK(position > 0 && position < length && (text[position - 1] == '\n' || IsMarker(text[position])));
        ReadList(text, length, position, header[1] == 'W' || header[1] == 'S');
    }
    ReleaseSetupText();
    return 0;
}
