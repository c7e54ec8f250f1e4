// What the fuzz targets share: a broken invariant stops the run with the
// condition that failed, so that libFuzzer keeps the input; and files in
// memory for code that reads and writes files.
#ifndef VSETUP_FUZZ_CHECK_H
#define VSETUP_FUZZ_CHECK_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

// A file in memory holding data, with a name that opens it (/proc/self/fd/N).
struct MemoryFile {
    explicit MemoryFile(const std::string& data = "") : fd(memfd_create("fuzz", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd >= 0);
        const ssize_t written = write(fd, data.data(), data.size());
        FUZZ_CHECK(written == static_cast<ssize_t>(data.size()));
        FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    }
    ~MemoryFile() { close(fd); }
    std::string Name() const { return "/proc/self/fd/" + std::to_string(fd); }
    std::string Contents() const {
        std::string out(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        FUZZ_CHECK(pread(fd, &out[0], out.size(), 0) == static_cast<ssize_t>(out.size()));
        return out;
    }
    int fd;
};

// The fields of a fuzz input that begins with the lengths of its first parts:
// parts[i] takes lengths[i] bytes (fewer where the input ends) from pos on;
// the rest of the input is returned.
inline std::string TakeParts(const std::string& input, size_t pos, const size_t* lengths, std::string* parts, int n) {
    for (int i = 0; i < n; ++i) {
        parts[i] = input.substr(pos, lengths[i]);
        pos += parts[i].size();
    }
    return input.substr(pos);
}

#endif
