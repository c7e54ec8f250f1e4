#include "platform/host/lz_expand.h"

#include <mspack.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The decoding itself is libmspack's SZDD decompressor. It reads and writes
// through an I/O table we supply (struct mspack_system) and names its files by
// strings it passes back to our open(); here those "files" are adapters over
// the caller's descriptors. The adapters keep the two rules the library does
// not: the expanded size must match the header, and nothing past that size is
// ever written.

namespace {

const size_t kBufferSize = 64 * 1024;
const size_t kSignatureSize = 8;
const size_t kHeaderSize = 14;
const unsigned char kSignature[kSignatureSize] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};

// The names our open() hands out; the library only passes them back to us.
const char kSourceName[] = "source";
const char kDestName[] = "dest";

// Reads until size bytes are in or the file ends. The count, or -1.
long ReadFull(int fd, unsigned char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buffer + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

// Writes all of buffer. A short write is retried, so a full disk shows up as
// the error of the next write.
bool WriteAll(int fd, const unsigned char* buffer, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, buffer, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        buffer += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Puts what was written on stable storage. A descriptor that cannot be
// synchronised at all (a pipe, a device) reports EINVAL and has nothing to do.
bool SyncFile(int fd) {
    for (;;) {
        if (fsync(fd) == 0) return true;
        if (errno == EINTR) continue;
        return errno == EINVAL;
    }
}

// The compressed source: the header we read ourselves to recognise the
// format, served again from memory, then the rest of the descriptor through a
// buffer. The library takes a short read for the end of the file, so a read
// returns less than asked only at the end.
struct Source {
    int fd;
    unsigned char header[kHeaderSize];
    unsigned long long position = 0;  // where the library is in the file
    std::vector<unsigned char> buffer;
    size_t begin = 0;
    size_t end = 0;
    bool at_end = false;

    long Read(unsigned char* out, size_t size) {
        size_t done = 0;
        while (done < size) {
            if (position < kHeaderSize) {
                size_t n = static_cast<size_t>(kHeaderSize - position);
                if (n > size - done) n = size - done;
                std::memcpy(out + done, header + position, n);
                done += n;
                position += n;
                continue;
            }
            if (begin == end) {
                if (at_end) break;
                long got = ReadFull(fd, buffer.data(), buffer.size());
                if (got < 0) return -1;
                if (static_cast<size_t>(got) < buffer.size()) at_end = true;
                begin = 0;
                end = static_cast<size_t>(got);
                if (got == 0) break;
            }
            size_t n = end - begin;
            if (n > size - done) n = size - done;
            std::memcpy(out + done, buffer.data() + begin, n);
            begin += n;
            done += n;
            position += n;
        }
        return static_cast<long>(done);
    }

    // The library seeks only from the start of the header to the start of the
    // data; the descriptor is not moved for that.
    bool SeekFromStart(unsigned long long offset) {
        if (offset > kHeaderSize || position > kHeaderSize) return false;
        position = offset;
        return true;
    }
};

// The expanded destination: output collected in a buffer (the decoder hands
// over one byte at a time) and written in large pieces, never beyond the size
// the header states.
struct Dest {
    int fd;
    unsigned long long limit;
    unsigned long long produced = 0;
    std::vector<unsigned char> buffer;
    size_t used = 0;
    bool overflow = false;
    bool write_failed = false;

    bool Flush() {
        if (used == 0) return true;
        if (!WriteAll(fd, buffer.data(), used)) {
            write_failed = true;
            return false;
        }
        used = 0;
        return true;
    }

    long Write(const unsigned char* data, size_t size) {
        if (produced + size > limit) {
            overflow = true;
            return -1;
        }
        if (used + size > buffer.size()) {
            if (!Flush()) return -1;
            if (size >= buffer.size()) {
                if (!WriteAll(fd, data, size)) {
                    write_failed = true;
                    return -1;
                }
                produced += size;
                return static_cast<long>(size);
            }
        }
        std::memcpy(buffer.data() + used, data, size);
        used += size;
        produced += size;
        return static_cast<long>(size);
    }
};

// What our open() returns: one of the two adapters.
struct Handle {
    Source* source;
    Dest* dest;
};

// The I/O table the library gets; the table comes first so the library's
// pointer to it leads back to the adapters.
struct Context {
    mspack_system system;
    Handle* source;
    Handle* dest;
};

Handle* ToHandle(mspack_file* file) { return reinterpret_cast<Handle*>(file); }

mspack_file* SysOpen(mspack_system* self, const char* filename, int mode) {
    Context* context = reinterpret_cast<Context*>(self);
    if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(filename, kSourceName) == 0)
        return reinterpret_cast<mspack_file*>(context->source);
    if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(filename, kDestName) == 0)
        return reinterpret_cast<mspack_file*>(context->dest);
    return nullptr;
}

// The descriptors belong to the caller; the output is flushed by HostLzCopy,
// where a failure can still be reported.
void SysClose(mspack_file*) {}

int SysRead(mspack_file* file, void* buffer, int bytes) {
    Handle* handle = ToHandle(file);
    if (!handle->source || bytes < 0) return -1;
    return static_cast<int>(handle->source->Read(static_cast<unsigned char*>(buffer), static_cast<size_t>(bytes)));
}

int SysWrite(mspack_file* file, void* buffer, int bytes) {
    Handle* handle = ToHandle(file);
    if (!handle->dest || bytes < 0) return -1;
    return static_cast<int>(handle->dest->Write(static_cast<const unsigned char*>(buffer), static_cast<size_t>(bytes)));
}

int SysSeek(mspack_file* file, off_t offset, int mode) {
    Handle* handle = ToHandle(file);
    if (!handle->source || mode != MSPACK_SYS_SEEK_START || offset < 0) return -1;
    return handle->source->SeekFromStart(static_cast<unsigned long long>(offset)) ? 0 : -1;
}

off_t SysTell(mspack_file* file) {
    Handle* handle = ToHandle(file);
    if (handle->dest) return static_cast<off_t>(handle->dest->produced);
    return static_cast<off_t>(handle->source->position);
}

void SysMessage(mspack_file*, const char*, ...) {}

void* SysAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }

void SysFree(void* pointer) { std::free(pointer); }

void SysCopy(void* source, void* dest, size_t bytes) { std::memcpy(dest, source, bytes); }

long long CopyPlain(int source_fd, int dest_fd, const unsigned char* start, size_t start_size) {
    if (start_size > 0 && !WriteAll(dest_fd, start, start_size)) return kLzErrorWrite;
    long long total = static_cast<long long>(start_size);
    std::vector<unsigned char> buffer(kBufferSize);
    for (;;) {
        ssize_t n = read(source_fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return kLzErrorRead;
        }
        if (n == 0) break;
        if (!WriteAll(dest_fd, buffer.data(), static_cast<size_t>(n))) return kLzErrorWrite;
        total += n;
    }
    if (!SyncFile(dest_fd)) return kLzErrorWrite;
    return total;
}

long long Expand(int source_fd, int dest_fd, const unsigned char* header) {
    int selftest = MSPACK_ERR_OK;
    MSPACK_SYS_SELFTEST(selftest);
    if (selftest != MSPACK_ERR_OK) return kLzErrorRead;

    Source source;
    source.fd = source_fd;
    std::memcpy(source.header, header, kHeaderSize);
    source.buffer.resize(kBufferSize);

    Dest dest;
    dest.fd = dest_fd;
    dest.limit = static_cast<unsigned long long>(header[10]) | static_cast<unsigned long long>(header[11]) << 8 |
                 static_cast<unsigned long long>(header[12]) << 16 | static_cast<unsigned long long>(header[13]) << 24;
    dest.buffer.resize(kBufferSize);

    Handle source_handle = {&source, nullptr};
    Handle dest_handle = {nullptr, &dest};
    Context context;
    context.system.open = SysOpen;
    context.system.close = SysClose;
    context.system.read = SysRead;
    context.system.write = SysWrite;
    context.system.seek = SysSeek;
    context.system.tell = SysTell;
    context.system.message = SysMessage;
    context.system.alloc = SysAlloc;
    context.system.free = SysFree;
    context.system.copy = SysCopy;
    context.system.null_ptr = nullptr;
    context.source = &source_handle;
    context.dest = &dest_handle;

    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(&context.system);
    if (!decompressor) return kLzErrorRead;
    int error = MSPACK_ERR_OPEN;
    msszddd_header* szdd = decompressor->open(decompressor, kSourceName);
    if (szdd) {
        error = decompressor->extract(decompressor, szdd, kDestName);
        decompressor->close(decompressor, szdd);
    }
    mspack_destroy_szdd_decompressor(decompressor);

    if (error != MSPACK_ERR_OK) return dest.write_failed ? kLzErrorWrite : kLzErrorRead;
    if (dest.produced != dest.limit) return kLzErrorRead;
    if (!dest.Flush() || !SyncFile(dest_fd)) return kLzErrorWrite;
    return static_cast<long long>(dest.produced);
}

}  // namespace

long long HostLzCopy(int source_fd, int dest_fd) {
    unsigned char header[kHeaderSize];
    long got = ReadFull(source_fd, header, kHeaderSize);
    if (got < 0) return kLzErrorRead;
    size_t size = static_cast<size_t>(got);
    if (size < kSignatureSize || std::memcmp(header, kSignature, kSignatureSize) != 0)
        return CopyPlain(source_fd, dest_fd, header, size);
    if (size < kHeaderSize) return kLzErrorRead;
    return Expand(source_fd, dest_fd, header);
}
