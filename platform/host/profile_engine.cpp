#include "platform/host/profile_engine.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"

namespace {

// One line of a file: its text is [begin, end), without the line end; the
// next line starts at next. A line ends in LF, CR LF or a lone CR, as the
// Windows profile services read it; ended is false only for a last line
// without a line end.
struct Line {
    size_t begin;
    size_t end;
    size_t next;
    bool ended;
};

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

// What a line says: for a section its name, for a key its name (as spelt)
// and its value as read.
struct LineInfo {
    LineKind kind;
    std::string name;
    std::string value;
};

std::vector<Line> SplitLines(const std::string& data) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t stop = data.find_first_of("\r\n", pos);
        Line line;
        line.begin = pos;
        line.ended = stop != std::string::npos;
        if (!line.ended) {
            line.end = line.next = data.size();
        } else {
            line.end = stop;
            line.next = stop + 1;
            if (data[stop] == '\r' && stop + 1 < data.size() && data[stop + 1] == '\n') ++line.next;
        }
        lines.push_back(line);
        pos = line.next;
    }
    return lines;
}

void TrimBlanks(const std::string& data, size_t* begin, size_t* end) {
    while (*begin < *end && HostIsBlank(data[*begin])) ++*begin;
    while (*end > *begin && HostIsBlank(data[*end - 1])) --*end;
}

LineInfo ReadLine(const std::string& data, const Line& line, bool wantValue) {
    LineInfo info{LineKind::kOther, std::string(), std::string()};
    size_t begin = line.begin;
    size_t end = line.end;
    TrimBlanks(data, &begin, &end);
    if (begin == end) {
        info.kind = LineKind::kBlank;
        return info;
    }
    if (data[begin] == ';') {
        info.kind = LineKind::kComment;
        return info;
    }
    if (data[begin] == '[') {
        size_t close = data.find(']', begin + 1);
        if (close != std::string::npos && close < end) {
            size_t nameBegin = begin + 1;
            size_t nameEnd = close;
            TrimBlanks(data, &nameBegin, &nameEnd);
            info.kind = LineKind::kSection;
            info.name.assign(data, nameBegin, nameEnd - nameBegin);
            return info;
        }
    }
    size_t equals = data.find('=', begin);
    if (equals == std::string::npos || equals >= end) return info;
    size_t keyEnd = equals;
    while (keyEnd > begin && HostIsBlank(data[keyEnd - 1])) --keyEnd;
    info.kind = LineKind::kKey;
    info.name.assign(data, begin, keyEnd - begin);
    if (wantValue) {
        size_t valueBegin = equals + 1;
        size_t valueEnd = end;
        TrimBlanks(data, &valueBegin, &valueEnd);
        if (valueEnd - valueBegin >= 2) {
            char first = data[valueBegin];
            if ((first == '"' || first == '\'') && data[valueEnd - 1] == first) {
                ++valueBegin;
                --valueEnd;
            }
        }
        info.value.assign(data, valueBegin, valueEnd - valueBegin);
    }
    return info;
}

// The line end new lines get: CR LF unless the file's first line end is LF
// alone.
std::string NewLineEnd(const std::string& data) {
    size_t lf = data.find('\n');
    if (lf != std::string::npos && (lf == 0 || data[lf - 1] != '\r')) return "\n";
    return "\r\n";
}

}  // namespace

bool IniRead(const std::string& data, const std::string& section, const std::string& key, std::string* value) {
    bool inSection = false;
    for (const Line& line : SplitLines(data)) {
        LineInfo info = ReadLine(data, line, inSection);
        if (info.kind == LineKind::kSection) {
            if (inSection) return false;  // only the first section of the name counts
            inSection = HostEqualNoCase(info.name, section);
        } else if (inSection && info.kind == LineKind::kKey && HostEqualNoCase(info.name, key)) {
            if (value) *value = info.value;
            return true;
        }
    }
    return false;
}

std::string IniEdit(const std::string& data, const std::string& section, const std::string& key,
                    const std::string& value) {
    std::vector<Line> lines = SplitLines(data);
    const size_t kNone = static_cast<size_t>(-1);
    size_t lastFilled = kNone;  // last non-blank line of the section, header included
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        LineInfo info = ReadLine(data, lines[i], false);
        if (info.kind == LineKind::kSection) {
            if (inSection) break;
            if (lastFilled == kNone && HostEqualNoCase(info.name, section)) {
                inSection = true;
                lastFilled = i;
            }
            continue;
        }
        if (!inSection) continue;
        if (info.kind != LineKind::kBlank) lastFilled = i;
        if (info.kind == LineKind::kKey && HostEqualNoCase(info.name, key)) {
            // Replace the line's text; its line end stays.
            const Line& line = lines[i];
            std::string out(data, 0, line.begin);
            out += info.name;
            out += '=';
            out += value;
            out.append(data, line.end, std::string::npos);
            return out;
        }
    }

    std::string eol = NewLineEnd(data);
    std::string entry = key + "=" + value + eol;
    // A last line that ends in CR is ended already: a LF after it would
    // only add a blank line.
    std::string endLast = eol;
    if (lastFilled != kNone) {
        const Line& line = lines[lastFilled];
        if (!line.ended) return data + endLast + entry;
        std::string out(data, 0, line.next);
        out += entry;
        out.append(data, line.next, std::string::npos);
        return out;
    }
    std::string out(data);
    if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += endLast;
    out += "[" + section + "]" + eol + entry;
    return out;
}

int IniParseInt(const std::string& value, int defaultValue) {
    if (value.empty()) return defaultValue;
    size_t pos = 0;
    while (pos < value.size() && HostIsBlank(value[pos])) ++pos;
    bool negative = false;
    if (pos < value.size() && value[pos] == '-') {
        negative = true;
        ++pos;
    }
    uint32_t result = 0;
    for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos)
        result = result * 10u + static_cast<uint32_t>(value[pos] - '0');
    if (negative) result = 0u - result;
    return static_cast<int>(result);
}

bool IniReadFile(const std::string& hostPath, const std::string& section, const std::string& key, std::string* value) {
    std::string data;
    if (!HostReadWholeFile(hostPath, &data, nullptr)) return false;
    return IniRead(data, section, key, value);
}

std::string IniDelete(const std::string& data, const std::string& section, const std::string* key) {
    std::vector<Line> lines = SplitLines(data);
    bool inSection = false;
    size_t cutBegin = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        LineInfo info = ReadLine(data, lines[i], false);
        if (info.kind == LineKind::kSection) {
            if (inSection) {
                // The section ends where the next one starts.
                return data.substr(0, cutBegin) + data.substr(lines[i].begin);
            }
            if (HostEqualNoCase(info.name, section)) {
                inSection = true;
                cutBegin = lines[i].begin;
            }
            continue;
        }
        if (inSection && key && info.kind == LineKind::kKey && HostEqualNoCase(info.name, *key))
            return data.substr(0, lines[i].begin) + data.substr(lines[i].next);
    }
    if (inSection && !key) return data.substr(0, cutBegin);
    return data;
}

bool IniWriteFile(const std::string& hostPath, const std::string& section, const std::string* key,
                  const std::string* value) {
    std::string data;
    bool missing = false;
    if (!HostReadWholeFile(hostPath, &data, &missing) && !missing) return false;
    // The profile services edit 8-bit text only: a UTF-16 file is left as
    // it is rather than getting 8-bit lines.
    if (data.size() >= 2 && ((data[0] == '\xFF' && data[1] == '\xFE') || (data[0] == '\xFE' && data[1] == '\xFF')))
        return false;
    // Nothing goes after an end-of-file byte, where no reader looks.
    size_t eof = data.size();
    while (eof > 0 && data[eof - 1] == '\x1A') --eof;
    std::string tail = data.substr(eof);
    data.resize(eof);
    std::string edited = key && value ? IniEdit(data, section, *key, *value) : IniDelete(data, section, key);
    if (edited == data && (!key || !value)) return true;  // nothing to delete
    return HostReplaceFileWhole(hostPath, edited + tail);
}
