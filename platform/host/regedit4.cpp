#include "platform/host/regedit4.h"

#include <cstdio>
#include <cstring>

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

// The next complete line at *p: [*begin, *end) without the line end. false
// when no line end follows (the end of the text or a cut last line).
bool NextLine(const char** p, const char* text_end, const char** begin, const char** end) {
    if (*p >= text_end) return false;
    const char* lf = static_cast<const char*>(memchr(*p, '\n', static_cast<size_t>(text_end - *p)));
    if (!lf) return false;
    *begin = *p;
    *end = (lf > *p && lf[-1] == '\r') ? lf - 1 : lf;
    *p = lf + 1;
    return true;
}

// A quoted text at *q (which is at the opening quote), \\ and \" unescaped.
// Leaves *q after the closing quote.
bool ParseQuoted(const char** q, const char* end, std::string* out) {
    const char* s = *q + 1;
    // Mostly there is nothing to unescape: the text is taken whole.
    const char* quote = static_cast<const char*>(std::memchr(s, '"', static_cast<size_t>(end - s)));
    if (quote && !std::memchr(s, '\\', static_cast<size_t>(quote - s))) {
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

bool OnlyBlanks(const char* q, const char* end) {
    while (q < end && HostIsBlank(*q)) ++q;
    return q == end;
}

// A hex byte list from q to the line end, continued on the following lines
// while a line ends in a backslash. *p is the reading position in the whole
// text and moves past the continuation lines used; a continuation that is
// missing (blank line, end of text, a line that holds no hex) makes the
// value malformed and leaves *p at that line.
bool ParseHexList(const char* q, const char* end, const char** p, const char* text_end,
                  std::string* out) {
    out->clear();
    bool need_byte = false;  // after a comma
    for (;;) {
        while (q < end && HostIsBlank(*q)) ++q;
        if (q < end && *q == '\\' && OnlyBlanks(q + 1, end)) {
            const char* next = *p;
            const char* line_begin;
            const char* line_end;
            if (!NextLine(&next, text_end, &line_begin, &line_end)) return false;
            while (line_begin < line_end && HostIsBlank(*line_begin)) ++line_begin;
            if (line_begin == line_end || HexDigit(*line_begin) < 0) return false;
            if (!need_byte && !out->empty()) return false;  // "01\" without a comma
            *p = next;
            q = line_begin;
            end = line_end;
            need_byte = true;
            continue;
        }
        if (q == end) return !need_byte;
        int high = HexDigit(*q);
        if (high < 0 || (!need_byte && !out->empty())) return false;
        ++q;
        int value = high;
        if (q < end && HexDigit(*q) >= 0) value = value * 16 + HexDigit(*q++);
        out->push_back(static_cast<char>(value));
        while (q < end && HostIsBlank(*q)) ++q;
        need_byte = false;
        if (q < end && *q == ',') {
            ++q;
            need_byte = true;
        }
    }
}

enum class ValueLine { kValue, kDelete, kMalformed };

// A value line ("name"=... or @=...) whose text starts at q.
ValueLine ParseValueLine(const char* q, const char* end, const char** p, const char* text_end,
                         std::string* name, uint32_t* type, std::string* data) {
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
        if (!ParseQuoted(&q, end, data) || !OnlyBlanks(q, end)) return ValueLine::kMalformed;
        *type = kReg4String;
        return ValueLine::kValue;
    }
    if (*q == '-') return OnlyBlanks(q + 1, end) ? ValueLine::kDelete : ValueLine::kMalformed;
    if (left >= 6 && Reg4EqualNoCase(q, 6, "dword:")) {
        q += 6;
        uint32_t number = 0;
        int digits = 0;
        for (; q < end && HexDigit(*q) >= 0; ++q, ++digits)
            number = number * 16u + static_cast<uint32_t>(HexDigit(*q));
        if (digits == 0 || digits > 8 || !OnlyBlanks(q, end)) return ValueLine::kMalformed;
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
        for (; q < end && HexDigit(*q) >= 0; ++q, ++digits)
            number = number * 16u + static_cast<uint32_t>(HexDigit(*q));
        if (digits == 0 || digits > 8 || q >= end || *q != ')') return ValueLine::kMalformed;
        ++q;
        *type = number;
    }
    if (q >= end || *q != ':') return ValueLine::kMalformed;
    if (!ParseHexList(q + 1, end, p, text_end, data)) return ValueLine::kMalformed;
    if (*type == kReg4String && !data->empty() && data->back() == '\0')
        data->pop_back();
    return ValueLine::kValue;
}


}  // namespace

bool Reg4EqualNoCase(const char* text, size_t size, const char* name) {
    for (size_t i = 0; i < size; ++i) {
        if (!name[i] || HostLowerByte(static_cast<unsigned char>(text[i])) !=
                            HostLowerByte(static_cast<unsigned char>(name[i])))
            return false;
    }
    return name[size] == '\0';
}

Reg4Reader::Reg4Reader(const char* text, size_t size)
    : p_(text), end_(text + size), has_zeros_(std::memchr(text, '\0', size) != nullptr) {}

bool Reg4Reader::Next(Reg4Item* item) {
    const char* begin;
    const char* end;
    while (NextLine(&p_, end_, &begin, &end)) {
        ++line_;
        while (begin < end && HostIsBlank(*begin)) ++begin;
        if (begin == end || *begin == ';') continue;
        item->line = line_;
        item->ends_key = false;
        // Lines are checked for zero bytes only when the text holds any.
        if (has_zeros_ && std::memchr(begin, '\0', static_cast<size_t>(end - begin))) {
            item->kind = Reg4Item::kBroken;
            item->ends_key = true;
            return true;
        }
        if (*begin == '[') {
            const char* close = end;
            while (close > begin && HostIsBlank(close[-1])) --close;
            if (close - begin < 2 || close[-1] != ']') {
                item->kind = Reg4Item::kBroken;
                item->ends_key = true;
            } else if (begin[1] == '-') {
                item->kind = Reg4Item::kDeleteKey;
                item->key = std::string_view(begin + 2, static_cast<size_t>(close - 1 - (begin + 2)));
            } else {
                item->kind = Reg4Item::kKey;
                item->key = std::string_view(begin + 1, static_cast<size_t>(close - 1 - (begin + 1)));
            }
            return true;
        }
        if (*begin != '"' && *begin != '@') {
            if (line_ == 1 && static_cast<size_t>(end - begin) == 8 && std::memcmp(begin, kReg4Header, 8) == 0)
                continue;
            item->kind = Reg4Item::kBroken;
            return true;
        }
        const char* continued = p_;
        ValueLine kind = ParseValueLine(begin, end, &p_, end_, &item->name, &item->type, &item->data);
        if (p_ > continued) {
            for (const char* c = continued; c < p_; ++c) line_ += *c == '\n';
            if (has_zeros_ && std::memchr(continued, '\0', static_cast<size_t>(p_ - continued))) {
                // Damage in a continuation line, as above.
                item->kind = Reg4Item::kBroken;
                item->ends_key = true;
                return true;
            }
        }
        item->kind = kind == ValueLine::kValue    ? Reg4Item::kValue
                     : kind == ValueLine::kDelete ? Reg4Item::kDeleteValue
                                                  : Reg4Item::kBroken;
        return true;
    }
    return false;
}

namespace {

// ------------------------------------------------------------------ writing

void AppendQuoted(std::string* out, const std::string& text) {
    *out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') *out += '\\';
        *out += c;
    }
    *out += '"';
}

void AppendHexList(std::string* out, const char* bytes, size_t size, size_t column) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        *out += kDigits[b >> 4];
        *out += kDigits[b & 15];
        column += 2;
        if (i + 1 < size) {
            *out += ',';
            ++column;
            if (column > 76) {  // regedit's line width
                *out += "\\\r\n  ";
                column = 2;
            }
        }
    }
}

}  // namespace

void Reg4AppendValue(std::string* out, const std::string& name, uint32_t type, const std::string& data) {
    size_t line_start = out->size();
    if (name.empty())
        *out += '@';
    else
        AppendQuoted(out, name);
    *out += '=';
    if (type == kReg4String && data.find_first_of(std::string("\0\r\n", 3)) == std::string::npos) {
        AppendQuoted(out, data);
    } else if (type == kReg4Dword && data.size() == 4) {
        static const char kDigits[] = "0123456789abcdef";
        *out += "dword:";
        for (int i = 3; i >= 0; --i) {
            unsigned char b = static_cast<unsigned char>(data[static_cast<size_t>(i)]);
            *out += kDigits[b >> 4];
            *out += kDigits[b & 15];
        }
    } else {
        if (type == kReg4Binary) {
            *out += "hex:";
        } else {
            char prefix[24];
            snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
            *out += prefix;
        }
        std::string bytes = data;
        // A text that cannot be quoted keeps its terminating zero, as a
        // REG_SZ's bytes have it.
        if (type == kReg4String) bytes += '\0';
        AppendHexList(out, bytes.data(), bytes.size(), out->size() - line_start);
    }
    *out += "\r\n";
}

