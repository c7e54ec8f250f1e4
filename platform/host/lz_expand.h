// The host's LZ copy service: what LZCopy does on Windows, over POSIX file
// descriptors. A file in the SZDD format ("SZDD" 88 F0 27 33, the mode byte,
// the missing last character of the name, the expanded size in 32 bits, then
// the LZSS data) is expanded; any other file is copied byte for byte.
#ifndef VSETUP_HOST_LZ_EXPAND_H
#define VSETUP_HOST_LZ_EXPAND_H

// Result codes as LZ32 has them.
const long long kLzErrorRead = -2;   // the source cannot be read or is corrupt
const long long kLzErrorWrite = -4;  // the destination cannot be written

// Copies source_fd to dest_fd from their current positions (both already
// open; the source positioned at its start): expands an SZDD file, copies any
// other file byte for byte. Returns the number of bytes written or a negative
// code. Before returning success it fsyncs dest_fd.
//
// Only the exact eight-byte SZDD signature marks a compressed file; anything
// else, including files shorter than the signature, is plain. A compressed
// file that is cut short, that the decoder rejects, or that expands to more
// or fewer bytes than its header states is corrupt (kLzErrorRead); no more
// than the stated size is ever written.
long long HostLzCopy(int source_fd, int dest_fd);

#endif
