// The profile engine on arbitrary INI bytes: reads, then an edit.
//
// Input: three length bytes (each taken modulo 32), then that many bytes each
// of the section, key and value to write, then the file. The names are made
// into ones a profile file can hold (no line ends, no "]" in a section, no "="
// in a key, no blanks around either, a key not starting like a comment or a
// header) and the value into one that reads back as written (no line ends, no
// blanks around it, no enclosing quotes).
//
// Invariants, for D the file and E = IniEdit(D, section, key, value):
// - IniRead(E, section, key) finds the key and gives the value;
// - E is D with one edit and every other byte unchanged: either the text of
//   one line of D (its line end excluded) is replaced by text holding no line
//   end, or whole lines are inserted at one place and nothing is removed. In
//   bytes: with P the longest common prefix of D and E and S the longest
//   common suffix of what remains, the removed part D[P, |D|-S) holds no LF
//   and is empty when the key did not exist; the inserted part E[P, |E|-S)
//   holds no LF for a replacement and one to three LFs (an ended last line,
//   a section header, the key) for an insertion;
// - every other key of the file reads the same before and after.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/host/host_ansi.h"
#include "platform/host/profile_engine.h"

namespace {

// text without the bytes of drop and without blanks around it.
std::string Clean(std::string text, const std::string& drop) {
    text.erase(std::remove_if(text.begin(), text.end(), [&](char c) { return drop.find(c) != std::string::npos; }),
               text.end());
    size_t begin = 0, end = text.size();
    while (begin < end && HostIsBlank(text[begin])) ++begin;
    while (end > begin && HostIsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

size_t Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 3) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const size_t lengths[3] = {bytes[0] % 32u, bytes[1] % 32u, bytes[2] % 32u};
    std::string parts[3];
    const std::string data = TakeParts(input, 3, lengths, parts, 3);

    const std::string section = Clean(parts[0], std::string("\r\n]"));
    std::string key = Clean(parts[1], std::string("\r\n="));
    if (!key.empty() && (key[0] == ';' || key[0] == '[')) key.insert(0, "k");
    std::string value = Clean(parts[2], std::string("\r\n"));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) value += 'x';

    std::string oldValue, readBack;
    const bool existed = IniRead(data, section, key, &oldValue);
    const std::string edited = IniEdit(data, section, key, value);
    FUZZ_CHECK(IniRead(edited, section, key, &readBack));
    FUZZ_CHECK(readBack == value);

    size_t prefix = 0, suffix = 0;
    const size_t shorter = std::min(data.size(), edited.size());
    while (prefix < shorter && data[prefix] == edited[prefix]) ++prefix;
    while (suffix < shorter - prefix && data[data.size() - 1 - suffix] == edited[edited.size() - 1 - suffix]) ++suffix;
    const std::string removed = data.substr(prefix, data.size() - suffix - prefix);
    const size_t inserted = Lines(edited.substr(prefix, edited.size() - suffix - prefix));
    FUZZ_CHECK(Lines(removed) == 0);
    FUZZ_CHECK(existed ? inserted == 0 : removed.empty() && inserted >= 1 && inserted <= 3);

    // The names of sections and keys that lines of the file spell, as
    // candidates for reading back.
    std::vector<std::string> sections{section}, keys{key};
    for (size_t at = 0; at < data.size() && (sections.size() < 7 || keys.size() < 7);) {
        size_t end = std::min(data.find('\n', at), data.size());
        const std::string line = Clean(data.substr(at, end - at), "\r");
        if (!line.empty() && line[0] == '[' && line.find(']') != std::string::npos) {
            if (sections.size() < 7) sections.push_back(Clean(line.substr(1, line.find(']') - 1), ""));
        } else if (line.find('=') != std::string::npos && keys.size() < 7) {
            keys.push_back(Clean(line.substr(0, line.find('=')), ""));
        }
        at = end + 1;
    }
    for (const std::string& s : sections) {
        for (const std::string& k : keys) {
            if (HostEqualNoCase(s, section) && HostEqualNoCase(k, key)) continue;
            std::string before, after;
            const bool wasThere = IniRead(data, s, k, &before);
            FUZZ_CHECK(IniRead(edited, s, k, &after) == wasThere);
            FUZZ_CHECK(before == after);
        }
    }

    // Read as a number too, as GetPrivateProfileInt does.
    IniParseInt(oldValue, 7);
    return 0;
}
