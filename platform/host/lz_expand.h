// The host's LZ copy service: what LZCopy does on Windows, over POSIX file
// descriptors. A file in the SZDD format ("SZDD" 88 F0 27 33, the mode byte,
// the missing last character of the name, the expanded size in 32 bits, then
// the LZSS data) is expanded; any other file is copied byte for byte.
#ifndef VSETUP_HOST_LZ_EXPAND_H
#define VSETUP_HOST_LZ_EXPAND_H

#include <cstddef>
#include <vector>

#include "platform/platform.h"  // the result codes, PLAT_LZ_ERROR_*

// Copies sourceFd to destFd from their current positions (both already
// open; the source positioned at its start): expands an SZDD file, copies any
// other file byte for byte. Returns the number of bytes written or a negative
// code (PLAT_LZ_ERROR_GLOBALLOC when no memory is left for the buffers).
// Before returning success it fsyncs destFd, unless sync is false (the
// caller then syncs it later).
//
// Only the exact eight-byte SZDD signature marks a compressed file; anything
// else, including files shorter than the signature, is plain. A compressed
// file whose header is cut short or names another mode than LZSS ('A'), that
// is cut short, or that expands to more or fewer bytes than its header states
// is corrupt (PLAT_LZ_ERROR_READ); no more than the stated size is ever
// written. The LZSS data is decoded to its end as libmspack decodes it: an
// item cut short by the end of the file ends the data.
long long HostLzCopy(int sourceFd, int destFd, bool sync = true);

// The same expansion from memory to memory: data holds a whole SZDD file,
// header included. Returns the expanded size, with the bytes in *out, or
// PLAT_LZ_ERROR_READ when data is not an SZDD file or is corrupt by the rules
// above (*out then holds no more than the stated size), or
// PLAT_LZ_ERROR_GLOBALLOC. Uses the decoder of HostLzCopy, with no I/O
// around it.
long long HostLzExpandMemory(const unsigned char* data, size_t size, std::vector<unsigned char>* out);

#endif
