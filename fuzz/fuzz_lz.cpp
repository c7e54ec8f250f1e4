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

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/host/lz_expand.h"

namespace {

const char kSignature[] = "SZDD\x88\xF0\x27\x33";

// ---- libmspack over memory, the reference the host's expansion must match.

struct MemoryFile {
    const std::string* in = nullptr;
    std::string* out = nullptr;
    size_t position = 0;
};

struct MemorySystem {
    mspack_system system;  // first: libmspack hands this pointer back
    MemoryFile in;
    MemoryFile out;
};

mspack_file* MemOpen(mspack_system* self, const char* name, int mode) {
    MemorySystem* memory = reinterpret_cast<MemorySystem*>(self);
    if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, "in") == 0)
        return reinterpret_cast<mspack_file*>(&memory->in);
    if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(name, "out") == 0)
        return reinterpret_cast<mspack_file*>(&memory->out);
    return nullptr;
}
void MemClose(mspack_file*) {}
int MemRead(mspack_file* file, void* buffer, int bytes) {
    MemoryFile* f = reinterpret_cast<MemoryFile*>(file);
    if (!f->in || bytes < 0) return -1;
    size_t n = std::min(static_cast<size_t>(bytes), f->in->size() - f->position);
    std::memcpy(buffer, f->in->data() + f->position, n);
    f->position += n;
    return static_cast<int>(n);
}
int MemWrite(mspack_file* file, void* buffer, int bytes) {
    MemoryFile* f = reinterpret_cast<MemoryFile*>(file);
    if (!f->out || bytes < 0) return -1;
    f->out->append(static_cast<const char*>(buffer), static_cast<size_t>(bytes));
    return bytes;
}
int MemSeek(mspack_file* file, off_t offset, int mode) {
    MemoryFile* f = reinterpret_cast<MemoryFile*>(file);
    if (!f->in) return -1;
    off_t base = mode == MSPACK_SYS_SEEK_START ? 0
                 : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(f->position)
                                               : static_cast<off_t>(f->in->size());
    if (base + offset < 0 || base + offset > static_cast<off_t>(f->in->size())) return -1;
    f->position = static_cast<size_t>(base + offset);
    return 0;
}
off_t MemTell(mspack_file* file) {
    MemoryFile* f = reinterpret_cast<MemoryFile*>(file);
    return static_cast<off_t>(f->in ? f->position : f->out->size());
}
void MemMessage(mspack_file*, const char*, ...) {}
void* MemAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void MemFree(void* pointer) { std::free(pointer); }
void MemCopy(void* source, void* dest, size_t bytes) { std::memmove(dest, source, bytes); }

// true when libmspack expands file to exactly the size its header states.
bool ReferenceExpand(const std::string& file, std::string* out) {
    MemorySystem memory;
    memory.system = mspack_system{MemOpen,    MemClose, MemRead, MemWrite, MemSeek, MemTell,
                                  MemMessage, MemAlloc, MemFree, MemCopy,  nullptr};
    memory.in.in = &file;
    memory.out.out = out;
    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(&memory.system);
    FUZZ_CHECK(decompressor);
    bool ok = false;
    if (msszddd_header* header = decompressor->open(decompressor, "in")) {
        ok = decompressor->extract(decompressor, header, "out") == MSPACK_ERR_OK &&
             static_cast<off_t>(out->size()) == header->length;
        decompressor->close(decompressor, header);
    }
    mspack_destroy_szdd_decompressor(decompressor);
    return ok;
}

// ---- HostLzCopy between memory files.

long long HostExpand(const std::string& file, std::string* out) {
    int in = memfd_create("source", MFD_CLOEXEC);
    int dest = memfd_create("dest", MFD_CLOEXEC);
    FUZZ_CHECK(in >= 0 && dest >= 0);
    FUZZ_CHECK(write(in, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
    FUZZ_CHECK(lseek(in, 0, SEEK_SET) == 0);
    long long result = HostLzCopy(in, dest);
    off_t size = lseek(dest, 0, SEEK_END);
    out->assign(static_cast<size_t>(size), '\0');
    FUZZ_CHECK(pread(dest, &(*out)[0], out->size(), 0) == size);
    close(in);
    close(dest);
    return result;
}

std::string Header(char mode, uint32_t size) {
    std::string header(kSignature, 8);
    header += mode;
    header += 'X';
    for (int i = 0; i < 4; ++i) header += static_cast<char>((size >> (8 * i)) & 0xFF);
    return header;
}

// A valid SZDD file of data: literals and back references into the window
// (4096 bytes filled with spaces, written from 4096 - 16), found through a
// hash of three bytes.
std::string Compress(const std::string& data) {
    std::string out = Header('A', static_cast<uint32_t>(data.size()));
    std::vector<long> last(1 << 12, -1);
    auto hash = [&](size_t i) {
        return ((static_cast<unsigned char>(data[i]) << 4) ^ (static_cast<unsigned char>(data[i + 1]) << 2) ^
                static_cast<unsigned char>(data[i + 2])) &
               0xFFF;
    };
    size_t i = 0;
    while (i < data.size()) {
        size_t control = out.size();
        out += '\0';
        for (int bit = 0; bit < 8 && i < data.size(); ++bit) {
            size_t length = 0;
            long from = -1;
            if (i + 3 <= data.size()) {
                from = last[hash(i)];
                last[hash(i)] = static_cast<long>(i);
                // Far enough back not to overlap, near enough to be in the window.
                if (from >= 0 && i - from >= 18 && i - from < 4096) {
                    while (length < 18 && i + length < data.size() && data[from + length] == data[i + length]) ++length;
                }
            }
            if (length >= 3) {
                unsigned position = static_cast<unsigned>(4096 - 16 + from) & 4095;
                out += static_cast<char>(position & 0xFF);
                out += static_cast<char>(((position >> 4) & 0xF0) | (length - 3));
                i += length;
            } else {
                out[control] = static_cast<char>(out[control] | (1 << bit));
                out += data[i];
                ++i;
            }
        }
    }
    return out;
}

void CheckAgainstReference(const std::string& file) {
    std::string expanded;
    long long result = HostExpand(file, &expanded);
    if (file.size() < 8 || file.compare(0, 8, kSignature, 8) != 0) {
        FUZZ_CHECK(result == static_cast<long long>(file.size()) && expanded == file);
        return;
    }
    if (result < 0) {
        FUZZ_CHECK(result == kLzErrorRead);
        return;
    }
    FUZZ_CHECK(file.size() >= 14);
    uint32_t claimed = static_cast<unsigned char>(file[10]) | static_cast<unsigned char>(file[11]) << 8 |
                       static_cast<unsigned char>(file[12]) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(file[13])) << 24;
    FUZZ_CHECK(result == static_cast<long long>(claimed) && expanded.size() == claimed);
    std::string reference;
    FUZZ_CHECK(ReferenceExpand(file, &reference));
    FUZZ_CHECK(reference == expanded);
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
    std::string expanded;
    FUZZ_CHECK(HostExpand(file, &expanded) == static_cast<long long>(data.size()));
    FUZZ_CHECK(expanded == data);
    std::string reference;
    FUZZ_CHECK(ReferenceExpand(file, &reference) && reference == data);
    long long result = HostExpand(file.substr(0, cut), &expanded);
    if (cut < 8) {
        FUZZ_CHECK(result == static_cast<long long>(cut));
    } else if (cut < file.size()) {
        FUZZ_CHECK(result == kLzErrorRead);
        FUZZ_CHECK(expanded.size() < data.size() || expanded.empty());
    }
    CheckAgainstReference(file.substr(0, cut));
    return 0;
}
