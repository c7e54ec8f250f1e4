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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string Without(const std::string& text, const std::string& bytes) {
    std::string out;
    for (char c : text) {
        if (bytes.find(c) == std::string::npos) out += c;
    }
    return out;
}

// The names of sections and keys that lines of data spell, as candidates
// for reading back.
void Names(const std::string& data, std::vector<std::string>* sections, std::vector<std::string>* keys) {
    size_t pos = 0;
    while (pos < data.size() && (sections->size() < 6 || keys->size() < 6)) {
        size_t end = data.find('\n', pos);
        if (end == std::string::npos) end = data.size();
        std::string line = Trim(data.substr(pos, end - pos));
        if (!line.empty() && line.back() == '\r') line = Trim(line.substr(0, line.size() - 1));
        if (!line.empty() && line[0] == '[' && line.find(']') != std::string::npos) {
            if (sections->size() < 6) sections->push_back(Trim(line.substr(1, line.find(']') - 1)));
        } else if (line.find('=') != std::string::npos && keys->size() < 6) {
            keys->push_back(Trim(line.substr(0, line.find('='))));
        }
        pos = end + 1;
    }
}

size_t Count(const std::string& text, char c) {
    size_t n = 0;
    for (char x : text) n += x == c;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 3) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    size_t lengths[3] = {static_cast<size_t>(bytes[0] % 32), static_cast<size_t>(bytes[1] % 32),
                         static_cast<size_t>(bytes[2] % 32)};
    size_t pos = 3;
    std::string parts[3];
    for (int i = 0; i < 3; ++i) {
        size_t n = std::min(lengths[i], size - pos);
        parts[i] = input.substr(pos, n);
        pos += n;
    }
    const std::string data = input.substr(pos);

    const std::string section = Trim(Without(parts[0], std::string("\r\n]", 3)));
    std::string key = Trim(Without(parts[1], std::string("\r\n=", 3)));
    if (!key.empty() && (key[0] == ';' || key[0] == '[')) key.insert(0, "k");
    std::string value = Trim(Without(parts[2], std::string("\r\n", 2)));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) value += 'x';

    std::string old_value;
    const bool existed = IniRead(data, section, key, &old_value);
    const std::string edited = IniEdit(data, section, key, value);

    std::string read_back;
    FUZZ_CHECK(IniRead(edited, section, key, &read_back));
    FUZZ_CHECK(read_back == value);

    size_t prefix = 0;
    const size_t shorter = std::min(data.size(), edited.size());
    while (prefix < shorter && data[prefix] == edited[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < shorter - prefix && data[data.size() - 1 - suffix] == edited[edited.size() - 1 - suffix]) ++suffix;
    const std::string removed = data.substr(prefix, data.size() - suffix - prefix);
    const std::string inserted = edited.substr(prefix, edited.size() - suffix - prefix);
    FUZZ_CHECK(Count(removed, '\n') == 0);
    if (existed) {
        FUZZ_CHECK(Count(inserted, '\n') == 0);
    } else {
        FUZZ_CHECK(removed.empty());
        FUZZ_CHECK(Count(inserted, '\n') >= 1 && Count(inserted, '\n') <= 3);
    }

    std::vector<std::string> sections{section};
    std::vector<std::string> keys{key};
    Names(data, &sections, &keys);
    for (const std::string& s : sections) {
        for (const std::string& k : keys) {
            if (HostEqualNoCase(s, section) && HostEqualNoCase(k, key)) continue;
            std::string before;
            std::string after;
            bool found_before = IniRead(data, s, k, &before);
            bool found_after = IniRead(edited, s, k, &after);
            FUZZ_CHECK(found_before == found_after);
            FUZZ_CHECK(before == after);
        }
    }

    // Read as a number too, as GetPrivateProfileInt does.
    IniParseInt(old_value, 7);
    return 0;
}
