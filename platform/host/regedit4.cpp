#include "platform/host/regedit4.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/host/host_ansi.h"

const char kReg4Header[] = "REGEDIT4\r\n";

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ------------------------------------------------------------------ reading

// The first of the two bytes a and b in [p, end), or end: eight bytes at a
// time, as lines and quoted texts are short and a call to memchr for each
// costs more than the search.
const char* FindEither(const char* p, const char* end, char a, char b) {
    const uint64_t kOnes = 0x0101010101010101ull;
    const uint64_t kHigh = 0x8080808080808080ull;
    const uint64_t as = kOnes * static_cast<unsigned char>(a);
    const uint64_t bs = kOnes * static_cast<unsigned char>(b);
    for (; end - p >= 8; p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        // A byte's top bit is set where it equals a or b (and, past the
        // first such byte, maybe elsewhere: only the first counts).
        uint64_t x = word ^ as;
        uint64_t y = word ^ bs;
        uint64_t found = ((x - kOnes) & ~x & kHigh) | ((y - kOnes) & ~y & kHigh);
        if (found) return p + __builtin_ctzll(found) / 8;
    }
    while (p < end && *p != a && *p != b) ++p;
    return p;
}

// A quoted text at *q (which is at the opening quote), \\ and \" unescaped.
// Leaves *q after the closing quote.
bool ParseQuoted(const char** q, const char* end, std::string* out) {
    const char* s = *q + 1;
    // Mostly there is nothing to unescape: the text is taken whole.
    const char* quote = FindEither(s, end, '"', '\\');
    if (quote < end && *quote == '"') {
        out->assign(s, static_cast<size_t>(quote - s));
        *q = quote + 1;
        return true;
    }
    // Otherwise in one pass into room for the rest of the line.
    out->resize(static_cast<size_t>(end - s));
    char* to = &(*out)[0];
    char* const start = to;
    while (s < end) {
        if (*s == '"') {
            out->resize(static_cast<size_t>(to - start));
            *q = s + 1;
            return true;
        }
        if (*s == '\\' && s + 1 < end && (s[1] == '\\' || s[1] == '"')) ++s;
        *to++ = *s++;
    }
    out->clear();
    return false;
}

}  // namespace

// A line ends in LF, CR LF or a lone CR.
struct Reg4Lines {
    const char* p;
    const char* end;
    bool readUnended;  // whether a last line without a line end counts
    size_t number = 0;  // of the last line taken

    // The next line: [*begin, *stop) without its line end. false at the end.
    bool Next(const char** begin, const char** stop) {
        if (p >= end) return false;
        const char* at = p;
        const char* stopAt = FindEither(at, end, '\r', '\n');
        if (stopAt < end) {
            *begin = at;
            *stop = stopAt;
            p = stopAt + (*stopAt == '\r' && stopAt + 1 < end && stopAt[1] == '\n' ? 2 : 1);
        } else {
            if (!readUnended) return false;
            *begin = at;
            *stop = end;
            p = end;
        }
        ++number;
        return true;
    }
};

namespace {

bool BlankOrComment(const char* q, const char* end) {
    while (q < end && HostIsBlank(*q)) ++q;
    return q == end || *q == ';';
}

// A hex byte list from q to the line end, continued on the following lines
// while a line ends in a backslash; blank and comment lines between them are
// passed over. A comma may end the list, and a comment may follow it. A
// continuation that is missing (the end of the text, a line that holds no
// hex) makes the value malformed.
bool ParseHexList(const char* q, const char* end, Reg4Lines* lines, std::string* out) {
    out->clear();
    bool needByte = false;  // after a comma
    for (;;) {
        while (q < end && HostIsBlank(*q)) ++q;
        if (q < end && *q == '\\' && BlankOrComment(q + 1, end)) {
            // A line that does not go on leaves the list malformed and is
            // read again as a line of its own.
            const Reg4Lines before = *lines;
            const char* lineBegin;
            const char* lineEnd;
            do {
                if (!lines->Next(&lineBegin, &lineEnd)) return false;
            } while (BlankOrComment(lineBegin, lineEnd) &&
                     std::memchr(lineBegin, '\0', static_cast<size_t>(lineEnd - lineBegin)) == nullptr);
            while (lineBegin < lineEnd && HostIsBlank(*lineBegin)) ++lineBegin;
            if (lineBegin == lineEnd || HexDigit(*lineBegin) < 0 || (!needByte && !out->empty())) {
                *lines = before;  // "01\" without a comma, or no hex at all
                return false;
            }
            q = lineBegin;
            end = lineEnd;
            needByte = true;
            continue;
        }
        if (q == end || *q == ';') return true;
        int high = HexDigit(*q);
        if (high < 0 || (!needByte && !out->empty())) return false;
        ++q;
        int value = high;
        if (q < end && HexDigit(*q) >= 0) value = value * 16 + HexDigit(*q++);
        out->push_back(static_cast<char>(value));
        while (q < end && HostIsBlank(*q)) ++q;
        needByte = false;
        if (q < end && *q == ',') {
            ++q;
            needByte = true;
        }
    }
}

enum class ValueLine { kText, kValue, kDelete, kMalformed };  // kValue: in hex

// A value line ("name"=... or @=...) whose text starts at q.
ValueLine ParseValueLine(const char* q, const char* end, Reg4Lines* lines, std::string* name, uint32_t* type,
                         std::string* data) {
    if (*q == '@') {
        name->clear();
        ++q;
    } else if (!ParseQuoted(&q, end, name)) {
        return ValueLine::kMalformed;
    }
    while (q < end && HostIsBlank(*q)) ++q;
    if (q >= end || *q != '=') return ValueLine::kMalformed;
    ++q;
    while (q < end && HostIsBlank(*q)) ++q;
    if (q >= end) return ValueLine::kMalformed;
    size_t left = static_cast<size_t>(end - q);
    if (*q == '"') {
        if (!ParseQuoted(&q, end, data) || !BlankOrComment(q, end)) return ValueLine::kMalformed;
        *type = kReg4String;
        return ValueLine::kText;
    }
    if (*q == '-') return BlankOrComment(q + 1, end) ? ValueLine::kDelete : ValueLine::kMalformed;
    if (left >= 6 && Reg4EqualNoCase(q, 6, "dword:")) {
        q += 6;
        while (q < end && HostIsBlank(*q)) ++q;
        uint32_t number = 0;
        int digits = 0;
        for (; q < end && HexDigit(*q) >= 0; ++q, ++digits) number = number * 16u + static_cast<uint32_t>(HexDigit(*q));
        if (digits == 0 || digits > 8 || !BlankOrComment(q, end)) return ValueLine::kMalformed;
        data->resize(4);
        for (int i = 0; i < 4; ++i) (*data)[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
        *type = kReg4Dword;
        return ValueLine::kValue;
    }
    if (left < 4 || !Reg4EqualNoCase(q, 3, "hex")) return ValueLine::kMalformed;
    q += 3;
    *type = kReg4Binary;
    if (*q == '(') {
        ++q;
        uint32_t number = 0;
        int digits = 0;
        for (; q < end && HexDigit(*q) >= 0; ++q, ++digits) number = number * 16u + static_cast<uint32_t>(HexDigit(*q));
        if (digits == 0 || digits > 8 || q >= end || *q != ')') return ValueLine::kMalformed;
        ++q;
        *type = number;
    }
    if (q >= end || *q != ':') return ValueLine::kMalformed;
    if (!ParseHexList(q + 1, end, lines, data)) return ValueLine::kMalformed;
    return ValueLine::kValue;
}

const char kVersion5[] = "Windows Registry Editor Version 5.00";

bool IsLine(const char* begin, const char* end, const char* text) {
    while (end > begin && HostIsBlank(end[-1])) --end;
    size_t size = std::strlen(text);
    return static_cast<size_t>(end - begin) == size && std::memcmp(begin, text, size) == 0;
}

}  // namespace

bool Reg4EqualNoCase(const char* text, size_t size, const char* name) {
    for (size_t i = 0; i < size; ++i) {
        if (!name[i] ||
            HostLowerByte(static_cast<unsigned char>(text[i])) != HostLowerByte(static_cast<unsigned char>(name[i])))
            return false;
    }
    return name[size] == '\0';
}

Reg4Reader::Reg4Reader(const char* text, size_t size, bool strict)
    : lines_(new Reg4Lines{text, text + size, strict}),
      strict_(strict),
      hasZeros_(std::memchr(text, '\0', size) != nullptr) {}

Reg4Reader::~Reg4Reader() { delete lines_; }

bool Reg4Reader::Next(Reg4Item* item) {
    const char* begin;
    const char* end;
    while (lines_->Next(&begin, &end)) {
        item->text = std::string_view(begin, static_cast<size_t>(end - begin));
        if (strict_ && hasZeros_) {
            // A line is read up to a zero byte, as a program reading it as a
            // C string does.
            if (const void* zero = std::memchr(begin, '\0', static_cast<size_t>(end - begin)))
                end = static_cast<const char*>(zero);
        }
        while (begin < end && HostIsBlank(*begin)) ++begin;
        if (begin == end || *begin == ';') continue;
        item->line = lines_->number;
        item->endsKey = false;
        item->kind = Reg4Item::kBroken;
        if (!seenHeader_) {
            seenHeader_ = true;
            if (IsLine(begin, end, "REGEDIT4")) continue;
            if (IsLine(begin, end, kVersion5)) {
                version5_ = true;
                continue;
            }
            if (strict_) return true;  // no header: not a registry file
        }
        // Lines are checked for zero bytes only when the text holds any.
        if (hasZeros_ && std::memchr(begin, '\0', static_cast<size_t>(end - begin))) {
            // Zero bytes are what an interrupted write can leave: the key's
            // line may be among them, so what follows belongs to no key.
            item->endsKey = true;
            return true;
        }
        if (*begin == '[') {
            // The key's name ends at the last "]" of the line, or at the
            // first when text follows it.
            const char* close = end;
            while (close > begin && HostIsBlank(close[-1])) --close;
            if (close - begin < 2 || close[-1] != ']') {
                const void* first = std::memchr(begin, ']', static_cast<size_t>(end - begin));
                close = first ? static_cast<const char*>(first) + 1 : nullptr;
            }
            if (!close) {
                item->endsKey = true;
            } else if (begin[1] == '-') {
                item->kind = Reg4Item::kDeleteKey;
                item->key = std::string_view(begin + 2, static_cast<size_t>(close - 1 - (begin + 2)));
            } else {
                item->kind = Reg4Item::kKey;
                item->key = std::string_view(begin + 1, static_cast<size_t>(close - 1 - (begin + 1)));
            }
            return true;
        }
        if (*begin != '"' && *begin != '@') return true;
        const Reg4Lines before = *lines_;
        ValueLine kind = ParseValueLine(begin, end, lines_, &item->name, &item->type, &item->data);
        if (hasZeros_ && !strict_ && lines_->p > before.p &&
            std::memchr(before.p, '\0', static_cast<size_t>(lines_->p - before.p))) {
            item->endsKey = true;  // damage in a continuation line, as above
            return true;
        }
        if (kind == ValueLine::kDelete) item->kind = Reg4Item::kDeleteValue;
        if (kind != ValueLine::kValue && kind != ValueLine::kText) return true;
        item->kind = Reg4Item::kValue;
        if (kind == ValueLine::kValue && version5_ &&
            (item->type == kReg4String || item->type == 2 || item->type == 7)) {
            // Version 5 writes the bytes of texts in UTF-16LE.
            std::string converted;
            if (!HostUtf16ToAnsi(item->data, &converted)) {
                item->kind = Reg4Item::kBroken;
                return true;
            }
            item->data.swap(converted);
        }
        if (item->type == kReg4String && !item->data.empty() && item->data.back() == '\0') item->data.pop_back();
        return true;
    }
    return false;
}

namespace {

// ------------------------------------------------------------------ writing

void AppendQuoted(std::string* out, const std::string& text) {
    *out += '"';
    // The runs between characters that take a backslash go in whole.
    size_t from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' || text[i] == '"') {
            out->append(text, from, i - from);
            *out += '\\';
            from = i;
        }
    }
    out->append(text, from, std::string::npos);
    *out += '"';
}

// Whether a text can be quoted: it holds no zero byte and no line end.
bool IsQuotable(const std::string& text) {
    for (char c : text)
        if (c == '\0' || c == '\r' || c == '\n') return false;
    return true;
}

// The bytes, and a zero after them when withZero, as a hex list that starts
// at column: written in place into room made for the longest it can be.
void AppendHexList(std::string* out, const char* bytes, size_t size, bool withZero, size_t column) {
    static const char kDigits[] = "0123456789abcdef";
    const size_t count = size + (withZero ? 1 : 0);
    const size_t start = out->size();
    out->resize(start + count * 3 + (count / 25 + 1) * 5);
    char* to = &(*out)[start];
    for (size_t i = 0; i < count; ++i) {
        unsigned char b = i < size ? static_cast<unsigned char>(bytes[i]) : 0;
        *to++ = kDigits[b >> 4];
        *to++ = kDigits[b & 15];
        column += 2;
        if (i + 1 < count) {
            *to++ = ',';
            ++column;
            if (column > 76) {  // regedit's line width
                std::memcpy(to, "\\\r\n  ", 5);
                to += 5;
                column = 2;
            }
        }
    }
    out->resize(static_cast<size_t>(to - out->data()));
}

}  // namespace

void Reg4AppendValue(std::string* out, const std::string& name, uint32_t type, const std::string& data) {
    size_t lineStart = out->size();
    if (name.empty())
        *out += '@';
    else
        AppendQuoted(out, name);
    *out += '=';
    if (type == kReg4String && IsQuotable(data)) {
        AppendQuoted(out, data);
    } else if (type == kReg4Dword && data.size() == 4) {
        static const char kDigits[] = "0123456789abcdef";
        char digits[14] = {'d', 'w', 'o', 'r', 'd', ':'};
        for (int i = 0; i < 4; ++i) {
            unsigned char b = static_cast<unsigned char>(data[static_cast<size_t>(3 - i)]);
            digits[6 + 2 * i] = kDigits[b >> 4];
            digits[7 + 2 * i] = kDigits[b & 15];
        }
        out->append(digits, sizeof digits);
    } else {
        if (type == kReg4Binary) {
            *out += "hex:";
        } else {
            char prefix[24];
            snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
            *out += prefix;
        }
        // A text that cannot be quoted keeps its terminating zero, as a
        // REG_SZ's bytes have it.
        AppendHexList(out, data.data(), data.size(), type == kReg4String, out->size() - lineStart);
    }
    *out += "\r\n";
}
