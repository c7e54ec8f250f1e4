// What the run reads of an image that QEMU writes: through one qemu-io that
// answers commands on a pipe, large ranges through qemu-img convert.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/host/host_io.h"
#include "platform/host/image_qemu.h"

namespace {

const long long kSector = 512;
// The size from which a range is read by qemu-img convert rather than qemu-io.
const long long kWhole = 256 * 1024;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Puts the bytes a "read -v" of qemu-io dumps ("0000fe00:  eb 3c 90 ...
// ascii", sixteen to a line) into fd at the offsets the dump names, run by
// run.
bool PlaceDump(const std::string& dump, int fd) {
    std::string run;
    long long runAt = 0;
    auto flush = [&]() { return run.empty() || HostWriteAt(fd, runAt, run); };
    for (size_t line = 0; line < dump.size();) {
        while (dump.compare(line, 9, "qemu-io> ") == 0) line += 9;  // the prompts of a reading qemu-io
        size_t end = std::min(dump.find('\n', line), dump.size());
        char* after = nullptr;
        long long at = std::strtoll(dump.c_str() + line, &after, 16);
        size_t p = static_cast<size_t>(after - dump.c_str());
        if (p - line >= 8 && dump.compare(p, 3, ":  ") == 0) {
            if (at != runAt + static_cast<long long>(run.size())) {
                if (!flush()) return false;
                run.clear();
                runAt = at;
            }
            // Pairs of hex digits one space apart; two spaces end them.
            for (p += 3; p + 2 <= end && HexDigit(dump[p]) >= 0 && HexDigit(dump[p + 1]) >= 0; p += 3) {
                run += static_cast<char>(HexDigit(dump[p]) * 16 + HexDigit(dump[p + 1]));
                if (p + 3 >= end || dump[p + 2] != ' ' || dump[p + 3] == ' ') break;
            }
        }
        line = end + 1;
    }
    return flush();
}

}  // namespace

bool HostQemuImage::FetchWhole(const HostDiskRange& range, std::string* error) {
    // Straight into the raw copy, through one reused buffer.
    std::string output, bytes;
    if (!RunQemu({"qemu-img", "convert", "-m", "1", "-n", "-t", "unsafe", "--image-opts",
                  Window(form_.format, image_, range), "--target-image-opts", Window("file", rawPath_, range)},
                 "", &output, error))
        return false;
    if (!ReadRaw(range.first, range.second, &bytes)) {
        *error = "cannot be copied into " + rawPath_;
        return false;
    }
    Remember(range.first, std::move(bytes));
    return true;
}

bool HostQemuImage::Fetch(std::vector<HostDiskRange> ranges, std::string* error) {
    std::vector<std::string> commands;
    std::vector<HostDiskRange> gaps;
    for (const HostDiskRange& range : ranges) {
        long long at = range.first / kSector * kSector;
        long long end = std::min(diskSize_, (range.first + range.second + kSector - 1) / kSector * kSector);
        for (const HostDiskRange& gap : Gaps(at, end - at)) {
            gaps.push_back(gap);
            // qemu-io dumps what it reads in hex: a large range goes whole.
            if (gap.second >= kWhole && !FetchWhole(gap, error)) return false;
            if (gap.second < kWhole)
                commands.push_back("read -v " + std::to_string(gap.first) + " " + std::to_string(gap.second));
        }
    }
    if (gaps.empty()) return true;
    std::string dump;
    if (!Read(commands, &dump, error)) return false;
    if (!PlaceDump(dump, fd_)) {
        *error = "cannot be copied into " + rawPath_ + ": " + std::strerror(errno);
        return false;
    }
    for (const HostDiskRange& gap : gaps) {
        std::string bytes;
        if (gap.second >= kWhole) continue;  // FetchWhole has it
        if (!ReadRaw(gap.first, gap.second, &bytes)) {
            *error = "cannot be read back from " + rawPath_;
            return false;
        }
        Remember(gap.first, bytes);
    }
    return true;
}

bool HostQemuImage::Read(const std::vector<std::string>& commands, std::string* dump, std::string* error) {
    if (commands.empty()) return true;
    if (reader_.pid >= 0 && reader_.input < 0) StopReader(dump);  // at rest: a new one
    dump->clear();
    if (reader_.pid < 0 && !StartReader(error)) return false;
    if (Converse(commands, dump) && dump->find("\nread failed") == std::string::npos &&
        dump->find("> read failed") == std::string::npos)
        return true;
    StopReader(dump);
    std::string line = dump->substr(0, dump->find('\n'));
    *error = line.find("lock") != std::string::npos ? kInUse : "cannot be read by qemu-io: " + line;
    return false;
}

bool HostQemuImage::Converse(const std::vector<std::string>& commands, std::string* dump) {
    // One command at a time: qemu-io reads its input in blocks, and takes
    // the lines left over in its buffer only when more input comes.
    const std::string prompt = "qemu-io> ";
    size_t scanned = dump->size();
    // Reads up to the next prompt, which begins a line or follows a prompt
    // when a command printed nothing.
    auto answered = [&]() {
        char buffer[65536];
        for (;;) {
            for (size_t at; (at = dump->find(prompt, scanned)) != std::string::npos;) {
                scanned = at + prompt.size();
                if (at == 0 || (*dump)[at - 1] == '\n' ||
                    (at >= prompt.size() && dump->compare(at - prompt.size(), prompt.size(), prompt) == 0))
                    return true;
            }
            // A prompt cut off at the end is found once the rest comes.
            if (dump->size() >= prompt.size()) scanned = std::max(scanned, dump->size() - prompt.size() + 1);
            ssize_t n = read(reader_.output, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            dump->append(buffer, static_cast<size_t>(n));
        }
    };
    if (!prompted_ && !answered()) return false;  // the prompt it greets with
    prompted_ = true;
    for (const std::string& command : commands) {
        const std::string line = command + "\n";
        if (!HostWriteAll(reader_.input, line.data(), line.size()) || !answered()) return false;
    }
    return true;
}

bool HostQemuImage::StartReader(std::string* error) {
    // One qemu-io for all the reads, answering each command with its
    // prompt; it holds QEMU's lock on the image meanwhile.
    HostToolOptions options;
    options.env = {"LC_ALL=C"};
    options.mergeErrors = true;
    int spawned = 0;
    prompted_ = false;
    return HostStartTool({"qemu-io", "-r", "-f", form_.format, image_}, options, true, &reader_, &spawned) ||
           Unstarted("qemu-io", spawned, error);
}

void HostQemuImage::Rest() {
    if (reader_.input >= 0) close(reader_.input);
    reader_.input = -1;
}

void HostQemuImage::StopReader(std::string* output) {
    if (reader_.pid >= 0) HostFinishTool(&reader_, output);
}
