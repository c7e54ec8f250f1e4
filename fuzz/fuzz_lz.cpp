// LZ expansion (HostLzCopy between memory files) of hostile sources.
//
// Input: a mode byte, then
// - even mode: the SZDD header's mode byte and its four-byte expanded size,
//   then the compressed stream: arbitrary bytes behind a valid signature;
// - odd mode: a two-byte cut position, then data that is compressed here
//   into a valid SZDD file and cut short at that position.
//
// Invariants: a source that HostLzCopy expands expands, byte for byte, as
// libmspack's own SZDD decompressor expands it, to exactly the size its
// header states; nothing beyond that size is ever written; a file without the
// whole signature is copied unchanged; a valid file expands to its data, and
// the same file cut anywhere after its signature is refused as corrupt.
#include <mspack.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/host/lz_expand.h"

namespace {

const char kSignature[] = "SZDD\x88\xF0\x27\x33";

// A file in memory, named for libmspack's default system (which opens files
// by name) as /proc/self/fd/N.
struct MemoryFile {
    explicit MemoryFile(const std::string& data = "") : fd(memfd_create("lz", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd >= 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()));
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

// true when libmspack expands file to exactly the size its header states.
bool ReferenceExpand(const std::string& file, std::string* out) {
    MemoryFile in(file), dest;
    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(nullptr);
    FUZZ_CHECK(decompressor);
    bool ok = false;
    if (msszddd_header* header = decompressor->open(decompressor, const_cast<char*>(in.Name().c_str()))) {
        ok = decompressor->extract(decompressor, header, const_cast<char*>(dest.Name().c_str())) == MSPACK_ERR_OK;
        *out = dest.Contents();
        ok = ok && static_cast<off_t>(out->size()) == header->length;
        decompressor->close(decompressor, header);
    }
    mspack_destroy_szdd_decompressor(decompressor);
    return ok;
}

long long HostExpand(const std::string& file, std::string* out) {
    MemoryFile in(file), dest;
    long long result = HostLzCopy(in.fd, dest.fd);
    *out = dest.Contents();
    return result;
}

std::string Header(char mode, uint32_t size) {
    std::string header = std::string(kSignature, 8) + mode + 'X';
    for (int i = 0; i < 4; ++i) header += static_cast<char>(size >> (8 * i));
    return header;
}

// A valid SZDD file of data: literals and back references into the window
// (4096 bytes filled with spaces, written from 4096 - 16), found through a
// hash of three bytes, far enough back not to overlap.
std::string Compress(const std::string& data) {
    std::string out = Header('A', static_cast<uint32_t>(data.size()));
    std::vector<long> last(1 << 12, -1);
    const unsigned char* u = reinterpret_cast<const unsigned char*>(data.data());
    for (size_t i = 0; i < data.size();) {
        size_t control = out.size();
        out += '\0';
        for (int bit = 0; bit < 8 && i < data.size(); ++bit) {
            size_t length = 0;
            long from = -1;
            if (i + 3 <= data.size()) {
                unsigned hash = (u[i] << 4 ^ u[i + 1] << 2 ^ u[i + 2]) & 0xFFF;
                from = last[hash];
                last[hash] = static_cast<long>(i);
                if (from >= 0 && i - from >= 18 && i - from < 4096)
                    while (length < 18 && i + length < data.size() && data[from + length] == data[i + length]) ++length;
            }
            if (length >= 3) {
                unsigned position = static_cast<unsigned>(4096 - 16 + from) & 4095;
                out += static_cast<char>(position & 0xFF);
                out += static_cast<char>(((position >> 4) & 0xF0) | (length - 3));
                i += length;
            } else {
                out[control] = static_cast<char>(out[control] | (1 << bit));
                out += data[i++];
            }
        }
    }
    return out;
}

void CheckAgainstReference(const std::string& file) {
    std::string expanded, reference;
    long long result = HostExpand(file, &expanded);
    if (file.compare(0, 8, kSignature, 8) != 0) {
        FUZZ_CHECK(result == static_cast<long long>(file.size()) && expanded == file);
    } else if (result < 0) {
        FUZZ_CHECK(result == kLzErrorRead);
    } else {
        FUZZ_CHECK(file.size() >= 14);
        uint32_t claimed = 0;
        for (int i = 3; i >= 0; --i) claimed = claimed << 8 | static_cast<unsigned char>(file[10 + i]);
        FUZZ_CHECK(result == static_cast<long long>(claimed) && expanded.size() == claimed);
        FUZZ_CHECK(ReferenceExpand(file, &reference) && reference == expanded);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 3) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    if ((bytes[0] & 1) == 0) {
        if (size < 6) return 0;
        uint32_t claimed = bytes[2] | bytes[3] << 8 | bytes[4] << 16 | static_cast<uint32_t>(bytes[5]) << 24;
        std::string file = Header(static_cast<char>(bytes[1]), claimed) + input.substr(6);
        CheckAgainstReference(file);
        // The same file cut inside its header or its stream.
        CheckAgainstReference(file.substr(0, (bytes[1] * 7u + claimed) % (file.size() + 1)));
        return 0;
    }

    const std::string data = input.substr(3);
    const std::string file = Compress(data);
    size_t cut = (bytes[1] | bytes[2] << 8) % (file.size() + 1);
    std::string expanded, reference;
    FUZZ_CHECK(HostExpand(file, &expanded) == static_cast<long long>(data.size()) && expanded == data);
    FUZZ_CHECK(ReferenceExpand(file, &reference) && reference == data);
    long long result = HostExpand(file.substr(0, cut), &expanded);
    if (cut < 8) {
        FUZZ_CHECK(result == static_cast<long long>(cut));
    } else if (cut < file.size()) {
        FUZZ_CHECK(result == kLzErrorRead && (expanded.size() < data.size() || expanded.empty()));
    }
    CheckAgainstReference(file.substr(0, cut));
    return 0;
}
