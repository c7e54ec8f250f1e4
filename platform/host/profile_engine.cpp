#include "platform/host/profile_engine.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One line of a file: its text is [begin, end), without the line end; the
// next line starts at next. has_lf is false only for a last line that ends
// without a line end.
struct Line {
    size_t begin;
    size_t end;
    size_t next;
    bool has_cr;
    bool has_lf;
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
        size_t lf = data.find('\n', pos);
        Line line;
        line.begin = pos;
        if (lf == std::string::npos) {
            line.end = data.size();
            line.next = data.size();
            line.has_lf = false;
        } else {
            line.end = lf;
            line.next = lf + 1;
            line.has_lf = true;
        }
        line.has_cr = line.has_lf && line.end > line.begin && data[line.end - 1] == '\r';
        if (line.has_cr) --line.end;
        lines.push_back(line);
        pos = line.next;
    }
    return lines;
}

void TrimBlanks(const std::string& data, size_t* begin, size_t* end) {
    while (*begin < *end && IsBlank(data[*begin])) ++*begin;
    while (*end > *begin && IsBlank(data[*end - 1])) --*end;
}

LineInfo ReadLine(const std::string& data, const Line& line, bool want_value) {
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
            size_t name_begin = begin + 1;
            size_t name_end = close;
            TrimBlanks(data, &name_begin, &name_end);
            info.kind = LineKind::kSection;
            info.name.assign(data, name_begin, name_end - name_begin);
            return info;
        }
    }
    size_t equals = data.find('=', begin);
    if (equals == std::string::npos || equals >= end) return info;
    size_t key_end = equals;
    while (key_end > begin && IsBlank(data[key_end - 1])) --key_end;
    info.kind = LineKind::kKey;
    info.name.assign(data, begin, key_end - begin);
    if (want_value) {
        size_t value_begin = equals + 1;
        size_t value_end = end;
        TrimBlanks(data, &value_begin, &value_end);
        if (value_end - value_begin >= 2) {
            char first = data[value_begin];
            if ((first == '"' || first == '\'') && data[value_end - 1] == first) {
                ++value_begin;
                --value_end;
            }
        }
        info.value.assign(data, value_begin, value_end - value_begin);
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

bool IniRead(const std::string& data, const std::string& section, const std::string& key,
             std::string* value) {
    bool in_section = false;
    for (const Line& line : SplitLines(data)) {
        LineInfo info = ReadLine(data, line, in_section);
        if (info.kind == LineKind::kSection) {
            if (in_section) return false;  // only the first section of the name counts
            in_section = HostEqualNoCase(info.name, section);
        } else if (in_section && info.kind == LineKind::kKey && HostEqualNoCase(info.name, key)) {
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
    size_t last_filled = kNone;  // last non-blank line of the section, header included
    bool in_section = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        LineInfo info = ReadLine(data, lines[i], false);
        if (info.kind == LineKind::kSection) {
            if (in_section) break;
            if (last_filled == kNone && HostEqualNoCase(info.name, section)) {
                in_section = true;
                last_filled = i;
            }
            continue;
        }
        if (!in_section) continue;
        if (info.kind != LineKind::kBlank) last_filled = i;
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
    // An unended last line that ends in CR keeps that CR as text: a bare LF
    // after it would turn it into part of the line end.
    std::string end_last = !data.empty() && data.back() == '\r' ? "\r\n" : eol;
    if (last_filled != kNone) {
        const Line& line = lines[last_filled];
        if (!line.has_lf) return data + end_last + entry;
        std::string out(data, 0, line.next);
        out += entry;
        out.append(data, line.next, std::string::npos);
        return out;
    }
    std::string out(data);
    if (!out.empty() && out.back() != '\n') out += end_last;
    out += "[" + section + "]" + eol + entry;
    return out;
}

int IniParseInt(const std::string& value, int default_value) {
    if (value.empty()) return default_value;
    size_t pos = 0;
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
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

bool HostReadWholeFile(const std::string& host_path, std::string* data, bool* missing) {
    if (missing) *missing = false;
    data->clear();
    int fd = open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (missing) *missing = (errno == ENOENT || errno == ENOTDIR);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int code = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = code;
        return false;
    }
    data->reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            close(fd);
            data->clear();
            return false;
        }
        if (got == 0) break;
        data->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

bool HostReplaceFileWhole(const std::string& host_path, const std::string& data) {
    std::string directory = HostDirectoryOf(host_path);
    size_t slash = host_path.rfind('/');
    std::string base = slash == std::string::npos ? host_path : host_path.substr(slash + 1);
    if (base.empty()) return false;

    mode_t mode = 0644;
    struct stat st;
    if (stat(host_path.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::string temp = directory + "/." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return false;
    temp.assign(name.data());

    bool ok = fchmod(fd, mode) == 0 && HostWriteAll(fd, data.data(), data.size()) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(temp.c_str(), host_path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    ok = fsync(dir_fd) == 0;
    close(dir_fd);
    return ok;
}

bool IniReadFile(const std::string& host_path, const std::string& section, const std::string& key,
                 std::string* value) {
    std::string data;
    if (!HostReadWholeFile(host_path, &data, nullptr)) return false;
    return IniRead(data, section, key, value);
}

bool IniWriteFile(const std::string& host_path, const std::string& section, const std::string& key,
                  const std::string& value) {
    std::string data;
    bool missing = false;
    if (!HostReadWholeFile(host_path, &data, &missing) && !missing) return false;
    return HostReplaceFileWhole(host_path, IniEdit(data, section, key, value));
}
