#include "platform/host/host_ansi.h"

namespace {

constexpr unsigned char LowerOf(int byte) {
    if (byte >= 'A' && byte <= 'Z') return static_cast<unsigned char>(byte + 0x20);
    // Latin capitals À..Þ, without the multiplication sign.
    if (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7) return static_cast<unsigned char>(byte + 0x20);
    switch (byte) {
    case 0x8A:
        return 0x9A;  // Š
    case 0x8C:
        return 0x9C;  // Œ
    case 0x8E:
        return 0x9E;  // Ž
    case 0x9F:
        return 0xFF;  // Ÿ
    default:
        return static_cast<unsigned char>(byte);
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

bool HostUtf16ToAnsi(const std::string& utf16, std::string* ansi) {
    // The characters of 0x80..0x9F; 0 where the code page has none, and
    // those five bytes stand for the C1 control of the same number.
    static const unsigned short kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    if (utf16.size() % 2 != 0) return false;
    ansi->clear();
    ansi->reserve(utf16.size() / 2);
    for (size_t i = 0; i < utf16.size(); i += 2) {
        unsigned c = static_cast<unsigned char>(utf16[i]) | static_cast<unsigned char>(utf16[i + 1]) << 8;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            ansi->push_back(static_cast<char>(c));
            continue;
        }
        int found = -1;
        for (int b = 0; b < 32 && found < 0; ++b)
            if (kHigh[b] == c) found = 0x80 + b;
        if (found < 0) return false;
        ansi->push_back(static_cast<char>(found));
    }
    return true;
}
