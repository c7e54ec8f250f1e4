#include "platform/host/host_ansi.h"

namespace {

constexpr unsigned char LowerOf(int byte) {
    if (byte >= 'A' && byte <= 'Z') return static_cast<unsigned char>(byte + 0x20);
    // Latin capitals À..Þ, without the multiplication sign.
    if (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7) return static_cast<unsigned char>(byte + 0x20);
    switch (byte) {
    case 0x8A: return 0x9A;  // Š
    case 0x8C: return 0x9C;  // Œ
    case 0x8E: return 0x9E;  // Ž
    case 0x9F: return 0xFF;  // Ÿ
    default: return static_cast<unsigned char>(byte);
    }
}

}  // namespace

// Built at compile time: ready before any static constructor runs.
extern constexpr HostLowerMap kHostLower = [] {
    HostLowerMap table{};
    for (int i = 0; i < 256; ++i) table.map[i] = LowerOf(i);
    return table;
}();

std::string HostLower(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(HostLowerByte(static_cast<unsigned char>(c)));
    return out;
}

bool HostEqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (HostLowerByte(static_cast<unsigned char>(a[i])) != HostLowerByte(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}
