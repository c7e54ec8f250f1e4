// The Windows system tree on the host: the prefix, its drives, and the
// mapping of Windows paths onto host paths.
//
// <prefix>/drive_c is drive C:; <prefix>/dosdevices/<letter>: may link any
// drive letter to a host directory (c: defaults to drive_c, z: to /). Names
// are matched without regard to case at every component, as on a FAT disk;
// a name that does not exist is used as written.
#ifndef VSETUP_HOST_PATHS_H
#define VSETUP_HOST_PATHS_H

#include <string>

struct stat;

// Maps the drives of prefix (an absolute path): creates what is missing of
// its skeleton, puts the prefix with its links resolved in *resolved and
// reads its drive mapping. false with a reason when that fails.
bool HostMapPrefix(const std::string& prefix, std::string* resolved, std::string* error);

// Maps a Windows path ("A:\DIR\FILE", "\FILE" on the current drive, or a path
// relative to the current directory) to a host path. ".." never climbs above
// the drive's root. For writing (forWrite), a path that passes through a
// symbolic link below the drive's root is refused, so nothing is written
// outside the drive's tree. false when the path cannot be mapped.
// *seen, when given, gets what an lstat of the host path found when the
// mapping made one there; its st_mode is 0 otherwise.
bool HostMapPath(const std::string& windowsPath, bool forWrite, std::string* hostPath, struct stat* seen = nullptr);

// The mapping keeps what it learns of the drives' directories for the rest
// of the run, kept exact by the names the host makes and removes
// (HostNameChanged, host_io.h). HostForgetDirectories forgets it all and
// learns nothing more until the prefix is mapped again: another program
// works in the tree from then on.
void HostForgetDirectories();

// The current directory in Windows form: the drive whose host directory
// holds it (the longest match), then the rest with backslashes.
bool HostCurrentDirectory(std::string* windowsPath);

#endif
