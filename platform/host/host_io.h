// File primitives shared by the host backend's pieces: whole writes, whole
// reads, whole replacement and directory syncs.
#ifndef VSETUP_HOST_IO_H
#define VSETUP_HOST_IO_H

#include <cstddef>
#include <string>

// Writes all size bytes, going on after short writes and interruptions.
// false on an error or when nothing more can be written.
bool HostWriteAll(int fd, const void* data, size_t size);

// The directory part of a host path ("." for a bare name, "/" for the root).
std::string HostDirectoryOf(const std::string& path);

// Puts the directory holding host_path on stable storage, so that a file
// created, renamed or removed there stays so after a crash. false when the
// directory cannot be opened or synced.
bool HostSyncDirectoryOf(const std::string& host_path);

// Reads a whole file. false when it cannot be read; *missing tells whether
// that was because it does not exist (may be null).
bool HostReadWholeFile(const std::string& host_path, std::string* data, bool* missing);

// Replaces the file at host_path by data, whole or not at all: writes a
// temporary file in the same directory, syncs it, renames it over host_path
// and syncs the directory. A new file gets mode 0644, a replaced one keeps its
// mode. On failure no temporary file is left and host_path is as it was
// (unless only the final directory sync failed, after the rename).
bool HostReplaceFileWhole(const std::string& host_path, const std::string& data);

#endif
