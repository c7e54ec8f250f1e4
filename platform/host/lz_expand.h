// The host's LZ copy service: what LZCopy does on Windows, over POSIX file
// descriptors. A file in the SZDD format ("SZDD" 88 F0 27 33, the mode byte,
// the missing last character of the name, the expanded size in 32 bits, then
// the LZSS data) is expanded; any other file is copied byte for byte.
#ifndef VSETUP_HOST_LZ_EXPAND_H
#define VSETUP_HOST_LZ_EXPAND_H

#include <cstddef>
#include <vector>

// Result codes as LZ32 has them.
const long long kLzErrorRead = -2;    // the source cannot be read or is corrupt
const long long kLzErrorWrite = -4;   // the destination cannot be written
const long long kLzErrorMemory = -5;  // no memory for the buffers (LZERROR_GLOBALLOC)

// Copies source_fd to dest_fd from their current positions (both already
// open; the source positioned at its start): expands an SZDD file, copies any
// other file byte for byte. Returns the number of bytes written or a negative
// code (kLzErrorMemory when no memory is left for the buffers). Before returning success it fsyncs dest_fd.
//
// Only the exact eight-byte SZDD signature marks a compressed file; anything
// else, including files shorter than the signature, is plain. A compressed
// file whose header is cut short or names another mode than LZSS ('A'), that
// is cut short, or that expands to more or fewer bytes than its header states
// is corrupt (kLzErrorRead); no more than the stated size is ever written.
// The LZSS data is decoded to its end as libmspack decodes it: an item cut
// short by the end of the file ends the data.
long long HostLzCopy(int source_fd, int dest_fd);

// The same expansion from memory to memory: data holds a whole SZDD file,
// header included. Returns the expanded size, with the bytes in *out, or
// kLzErrorRead when data is not an SZDD file or is corrupt by the rules above
// (*out then holds no more than the stated size), or kLzErrorMemory. Uses the
// decoder of HostLzCopy, with no I/O around it.
long long HostLzExpandMemory(const unsigned char* data, size_t size, std::vector<unsigned char>* out);

#endif
