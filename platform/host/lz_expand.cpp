#include "platform/host/lz_expand.h"

#include "platform/host/byte_order.h"
#include "platform/host/host_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

// The SZDD stream is LZSS over a 4096-byte ring that starts filled with
// spaces, written from position 4096 - 16. Each control byte, read from its
// lowest bit up, announces eight items: a set bit is one literal byte, a
// clear bit a two-byte match, b0 | (b1 & 0xF0) << 4 being the ring position
// it starts at and (b1 & 0x0F) + 3 its length.
//
// The decoder keeps no ring. It expands into a linear buffer that holds the
// last 4096 bytes of output (spaces at first) before the part being filled,
// so a ring position becomes a distance back from the write pointer and every
// match is a plain forward copy. While a whole group (a control byte and its
// eight items) fits in both the input and the output buffer, the group is
// decoded without any bounds check; only the last few bytes of a stream take
// the careful path. The expanded bytes are written in large pieces, never
// beyond the size the header states.
//
// Where the stream ends in the middle of a group or of a match, the decoding
// ends there, as libmspack's does; whether the file is whole is then decided
// by the expanded size.

namespace {

const size_t kSignatureSize = 8;
const size_t kHeaderSize = 14;
const unsigned char kSignature[kSignatureSize] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
const unsigned char kModeLzss = 'A';

const size_t kWindow = 4096;
const size_t kWindowStart = kWindow - 16;
const size_t kMaxMatch = 18;
// The most one group reads (17 bytes, and a literal run is moved 8 bytes at
// a time from as far as its 16th byte), and writes (a match copy may run up
// to 32 bytes past its end; those bytes are written again before they
// count).
const size_t kGroupInput = 1 + 7 * 2 + 8;
const size_t kGroupOutput = 7 * kMaxMatch + 32;
// How much is read, and written, at a time.
const size_t kInputSize = 256 * 1024;
const size_t kOutputSize = 256 * 1024;  // a multiple of kWindow

static_assert(kOutputSize % kWindow == 0, "the output piece must keep the ring's alignment");

// The buffers of one thread, kept from call to call: a run expands hundreds
// of files.
struct Buffers {
    unsigned char input[kInputSize];
    unsigned char output[kWindow + kOutputSize + kGroupOutput];
};

// Null when there is no memory for them.
Buffers* ThreadBuffers() {
    thread_local std::unique_ptr<Buffers> buffers;
    if (!buffers) buffers.reset(new (std::nothrow) Buffers);
    return buffers.get();
}

// The compressed stream after the header: [next, end) is what is at hand;
// from a descriptor, more is read into the buffer as it is used up.
struct Input {
    int fd = -1;
    unsigned char* buffer = nullptr;
    const unsigned char* next = nullptr;
    const unsigned char* end = nullptr;
    bool atEnd = true;

    // Moves what is left to the front of the buffer and reads behind it,
    // until a whole group is at hand or the stream ends. false on a read
    // error.
    bool Refill() {
        if (atEnd) return true;
        size_t left = static_cast<size_t>(end - next);
        std::memmove(buffer, next, left);
        next = buffer;
        while (!atEnd && left < kGroupInput) {
            ssize_t n = read(fd, buffer + left, kInputSize - left);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (n == 0) atEnd = true;
            left += static_cast<size_t>(n);
        }
        end = buffer + left;
        return true;
    }
};

// Where the expanded bytes go: a descriptor or a vector, never more than
// limit bytes in all.
struct Output {
    int fd = -1;
    std::vector<unsigned char>* memory = nullptr;
    unsigned long long limit = 0;
    unsigned long long written = 0;
    long long error = 0;

    bool Put(const unsigned char* data, size_t size) {
        if (size > limit - written) {
            error = PLAT_LZ_ERROR_READ;  // more than the header states: corrupt
            return false;
        }
        if (memory) {
            memory->insert(memory->end(), data, data + size);
        } else if (!HostWriteAll(fd, data, size)) {
            error = PLAT_LZ_ERROR_WRITE;
            return false;
        }
        written += size;
        return true;
    }
};

// Copies a match of length bytes from distance bytes back. Overlapping
// matches repeat their start, byte by byte as the ring does; a copy in 8- or
// 16-byte moves is the same whenever the distance is at least the move, and
// may write up to 32 bytes in all.
inline void CopyMatch(unsigned char* to, size_t distance, unsigned length) {
    const unsigned char* from = to - distance;
    if (distance >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + 16, from + 16, 16);
    } else if (distance >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + 8, from + 8, 8);
        std::memcpy(to + 16, from + 16, 8);
    } else {
        for (unsigned i = 0; i < length; ++i) to[i] = from[i];
    }
}

// The distance back from the output position to ring position. The ring's
// position of output[i] is (i - kWindow + kWindowStart) mod 4096; a match
// starting at the byte being written reads the one 4096 bytes back.
inline size_t Distance(size_t index, unsigned position) {
    return ((index - kWindow + kWindowStart - position - 1) & (kWindow - 1)) + 1;
}

// Expands the stream of in into out. The expanded size, or a negative code.
long long Decode(Input& in, Output& out, unsigned char* window) {
    std::memset(window, ' ', kWindow);
    unsigned char* const start = window + kWindow;
    unsigned char* const full = start + kOutputSize;
    unsigned char* to = start;
    for (;;) {
        if (to >= full) {
            // The piece goes out; the last 4096 bytes and what ran past the
            // piece move to the front. kOutputSize being a multiple of the
            // ring's size, distances stay as they were.
            if (!out.Put(start, kOutputSize)) return out.error;
            size_t keep = static_cast<size_t>(to - full) + kWindow;
            std::memmove(window, full - kWindow, keep);
            to -= kOutputSize;
        }
        if (static_cast<size_t>(in.end - in.next) < kGroupInput && !in.Refill()) return PLAT_LZ_ERROR_READ;
        const unsigned char* from = in.next;
        if (static_cast<size_t>(in.end - from) >= kGroupInput) {
            unsigned control = *from++;
            unsigned items = 8;
            for (;;) {
                // A run of literals (set bits), copied in one move.
                unsigned run = static_cast<unsigned>(__builtin_ctz(~control));
                std::memcpy(to, from, 8);
                to += run;
                from += run;
                if (run >= items) break;
                control >>= run + 1;
                items -= run + 1;
                unsigned position = from[0] | (from[1] & 0xF0u) << 4;
                unsigned length = (from[1] & 0x0Fu) + 3;
                from += 2;
                CopyMatch(to, Distance(static_cast<size_t>(to - window), position), length);
                to += length;
                if (items == 0) break;
            }
        } else {
            // The last bytes of the stream: a group, a literal or a match
            // may be cut short; the decoding ends there.
            if (from == in.end) break;
            unsigned control = *from++;
            for (int item = 0; item < 8; ++item, control >>= 1) {
                if (control & 1) {
                    if (from == in.end) break;
                    *to++ = *from++;
                    continue;
                }
                if (in.end - from < 2) {
                    from = in.end;
                    break;
                }
                unsigned position = from[0] | (from[1] & 0xF0u) << 4;
                unsigned length = (from[1] & 0x0Fu) + 3;
                from += 2;
                CopyMatch(to, Distance(static_cast<size_t>(to - window), position), length);
                to += length;
            }
        }
        in.next = from;
    }
    if (!out.Put(start, static_cast<size_t>(to - start))) return out.error;
    if (out.written != out.limit) return PLAT_LZ_ERROR_READ;
    return static_cast<long long>(out.written);
}

// What the first bytes of a file (size of them at hand) say about it.
enum class Header {
    kPlain,    // no SZDD signature: a file to copy as it is
    kCorrupt,  // the signature, then a header cut short or another mode than LZSS
    kLzss,     // a file to expand to the size the header states
};

Header ReadHeader(const unsigned char* data, size_t size, unsigned long long* statedSize) {
    if (size < kSignatureSize || std::memcmp(data, kSignature, kSignatureSize) != 0) return Header::kPlain;
    if (size < kHeaderSize || data[8] != kModeLzss) return Header::kCorrupt;
    *statedSize = HostGetLe32(data + 10);
    return Header::kLzss;
}

// Copies a plain source: what was read of it already, then the rest.
long long CopyPlain(int sourceFd, int destFd, unsigned char* buffer, size_t already, bool sync) {
    long long total = 0;
    size_t size = already;
    for (;;) {
        if (size > 0 && !HostWriteAll(destFd, buffer, size)) return PLAT_LZ_ERROR_WRITE;
        total += static_cast<long long>(size);
        ssize_t n = read(sourceFd, buffer, kInputSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            return PLAT_LZ_ERROR_READ;
        }
        if (n == 0) break;
        size = static_cast<size_t>(n);
    }
    if (sync && !HostFsync(destFd)) return PLAT_LZ_ERROR_WRITE;
    return total;
}

}  // namespace

long long HostLzCopy(int sourceFd, int destFd, bool sync) {
    // The first read serves both to recognise the format and as the start
    // of the data.
    Buffers* buffers = ThreadBuffers();
    if (!buffers) return PLAT_LZ_ERROR_GLOBALLOC;
    Input in;
    in.fd = sourceFd;
    in.buffer = buffers->input;
    in.next = in.end = buffers->input;
    in.atEnd = false;
    if (!in.Refill()) return PLAT_LZ_ERROR_READ;
    size_t size = static_cast<size_t>(in.end - in.next);
    Output out;
    out.fd = destFd;
    switch (ReadHeader(in.next, size, &out.limit)) {
    case Header::kPlain:
        return CopyPlain(sourceFd, destFd, buffers->input, size, sync);
    case Header::kCorrupt:
        return PLAT_LZ_ERROR_READ;
    case Header::kLzss:
        break;
    }
    in.next += kHeaderSize;
    long long result = Decode(in, out, buffers->output);
    if (result < 0) return result;
    if (sync && !HostFsync(destFd)) return PLAT_LZ_ERROR_WRITE;
    return result;
}

long long HostLzExpandMemory(const unsigned char* data, size_t size, std::vector<unsigned char>* out) {
    out->clear();
    Output sink;
    if (ReadHeader(data, size, &sink.limit) != Header::kLzss) return PLAT_LZ_ERROR_READ;
    Input in;
    in.next = data + kHeaderSize;
    in.end = data + size;
    sink.memory = out;
    // No stream expands more than nine times; a header that states more
    // than that gets no more room than the stream can fill.
    unsigned long long most = static_cast<unsigned long long>(size) * 9 + kWindow;
    Buffers* buffers = ThreadBuffers();
    if (!buffers) return PLAT_LZ_ERROR_GLOBALLOC;
    out->reserve(static_cast<size_t>(sink.limit < most ? sink.limit : most));
    return Decode(in, sink, buffers->output);
}
