// Registry key paths as the REGEDIT4 store keeps, finds and sorts them.
#include "platform/host/registry_key_path.h"

#include <cstdint>
#include <cstring>

#include "platform/host/host_ansi.h"
#include "platform/host/regedit4.h"

namespace {

const char* const kRoots[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};
const char kClassesRoot[] = "HKEY_CLASSES_ROOT";
const char kClassesHome[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";

unsigned char LowerByte(char c) { return HostLowerByte(static_cast<unsigned char>(c)); }

// Eight bytes lower-cased at once: ASCII capitals by arithmetic on the
// whole word, anything else through the table.
uint64_t LowerWord(const char* text) {
    const uint64_t kOnes = 0x0101010101010101ull;
    const uint64_t kHigh = 0x8080808080808080ull;
    uint64_t word;
    std::memcpy(&word, text, 8);
    if (word & kHigh) {
        word = 0;
        for (int j = 0; j < 8; ++j) word |= static_cast<uint64_t>(LowerByte(text[j])) << (8 * j);
        return word;
    }
    // A byte's top bit is set when it is at least 'A', and when it is above 'Z'.
    uint64_t atLeastA = word + kOnes * (0x80 - 'A');
    uint64_t aboveZ = word + kOnes * (0x7F - 'Z');
    uint64_t capitals = atLeastA & ~aboveZ & kHigh;
    return word | (capitals >> 2);
}

}  // namespace

namespace regpath {

std::string Lower(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(LowerByte(c));
    return out;
}

// A hash of the lower-cased text, eight bytes at a time.
size_t HashNoCase(const char* text, size_t size) {
    const uint64_t kMultiplier = 0xff51afd7ed558ccdull;
    uint64_t hash = 0x9e3779b97f4a7c15ull ^ size;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        hash = (hash ^ LowerWord(text + i)) * kMultiplier;
        hash ^= hash >> 32;
    }
    // The last bytes: the last eight of the text with those already taken
    // shifted out, or byte by byte in a text shorter than eight.
    uint64_t word = 0;
    if (i < size && size >= 8) {
        word = LowerWord(text + size - 8) >> (8 * (8 - (size - i)));
    } else {
        for (size_t j = 0; i + j < size; ++j) word |= static_cast<uint64_t>(LowerByte(text[i + j])) << (8 * j);
    }
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
    hash *= 0xc4ceb9fe1a85ec53ull;
    hash ^= hash >> 32;
    return static_cast<size_t>(hash);
}

// Whether path equals text (size bytes) without regard to case.
bool SamePath(const std::string& path, const char* text, size_t size) {
    if (path.size() != size) return false;
    if (std::memcmp(path.data(), text, size) == 0) return true;  // mostly spelled alike
    for (size_t i = 0; i < size; ++i)
        if (LowerByte(path[i]) != LowerByte(text[i])) return false;
    return true;
}

// The path as the store keeps it: empty components dropped, the root in its
// usual spelling, HKEY_CLASSES_ROOT moved under HKEY_LOCAL_MACHINE. Empty for
// an empty path and for one that starts with no root key.
std::string CanonicalPath(const char* text, size_t size) {
    // Most paths (all that the store itself writes) are canonical already:
    // a root in its usual spelling, then non-empty names.
    const size_t kRootCount = sizeof kRoots / sizeof kRoots[0];
    struct Lengths {
        size_t of[kRootCount];
        Lengths() {
            for (size_t r = 0; r < kRootCount; ++r) of[r] = std::strlen(kRoots[r]);
        }
    };
    static const Lengths lengths;
    for (size_t r = 0; r < kRootCount; ++r) {
        const char* root = kRoots[r];
        size_t length = lengths.of[r];
        if (size > length && text[length] == '\\' && std::memcmp(text, root, length) == 0) {
            bool canonical = text[size - 1] != '\\';
            for (const char* slash = text + length; canonical && slash;) {
                canonical = slash[1] != '\\';
                slash = static_cast<const char*>(std::memchr(slash + 1, '\\', size - (slash + 1 - text)));
            }
            if (canonical) return std::string(text, size);
            break;
        }
    }
    std::string out;
    out.reserve(size + 32);
    size_t pos = 0;
    bool first = true;
    while (pos < size) {
        size_t stop = pos;
        while (stop < size && text[stop] != '\\') ++stop;
        if (stop > pos) {
            if (first) {
                first = false;
                if (Reg4EqualNoCase(text + pos, stop - pos, kClassesRoot)) {
                    out = kClassesHome;
                } else {
                    for (const char* root : kRoots) {
                        if (Reg4EqualNoCase(text + pos, stop - pos, root)) {
                            out = root;
                            break;
                        }
                    }
                    if (out.empty()) return out;
                }
            } else {
                out += '\\';
                out.append(text + pos, stop - pos);
            }
        }
        pos = stop + 1;
    }
    return out;
}

std::string CanonicalPath(const std::string& path) { return CanonicalPath(path.data(), path.size()); }

bool IsKnownRoot(const std::string& canonical) {
    for (const char* root : kRoots)
        if (canonical == root) return true;
    return false;
}

// The key by which a lower-cased path sorts so that a parent comes right
// before its children: the separator becomes a zero byte, which sorts before
// every byte a name can hold.
std::string SortKey(const std::string& lowerPath) {
    std::string key(lowerPath);
    for (char& c : key)
        if (c == '\\') c = '\0';
    return key;
}

}  // namespace regpath
