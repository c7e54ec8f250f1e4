// Small file helpers shared by the host backend's pieces.
#ifndef VSETUP_HOST_IO_H
#define VSETUP_HOST_IO_H

#include <cstddef>
#include <string>

// Writes all size bytes, going on after short writes and interruptions.
// false on an error or when nothing more can be written.
bool HostWriteAll(int fd, const void* data, size_t size);

// The directory part of a host path ("." for a bare name, "/" for the root).
std::string HostDirectoryOf(const std::string& path);

#endif
