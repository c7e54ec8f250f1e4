// What the pieces of an image run share: the image, its partition as
// mtools lists it, and the staging prefix. For disk_image.cpp (the start,
// the staging prefix) and image_write_back.cpp (the end) only.
#ifndef VSETUP_HOST_IMAGE_STATE_H
#define VSETUP_HOST_IMAGE_STATE_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/host/disk_image.h"
#include "platform/host/image_qemu.h"
#include "platform/host/mtools_run.h"

namespace host_image {

// A file or directory of the partition, as mtools lists it.
struct Entry {
    std::string path;  // as the image spells it, without "::/"
    bool dir = false;
    bool readOnly = false;
    long long clusters = 0;
};

// A registry file kept beside the image, staged at the top of the staging
// prefix.
struct BesideFile {
    std::string name;    // in the staging prefix: "registry.reg"
    std::string host;    // beside the image: "<image>.registry.reg"
    std::string before;  // its bytes when the run began ("" when missing)
};

struct ImageState {
    bool active = false;
    int lockFd = -1;       // the image file, locked
    int diskFd = -1;       // the disk mtools changes: the image file, or QEMU's raw copy of it
    HostQemuImage qemu;    // open for a form that QEMU writes
    std::string image;     // the image file
    HostMtools mtools;     // reaches the partition
    std::string staging;   // the staging prefix
    long long offset = 0;  // of the partition in the disk
    HostFatLayout layout;  // of the partition
    // The registry files the caller named, in write-back order.
    std::vector<HostImageRegistryFile> registryFiles;
    std::vector<BesideFile> beside;
    // What the partition holds, by lower-case path ("windows/system.ini").
    std::map<std::string, Entry> survey;
    // Files of the image copied into the staging prefix, by their path
    // below drive_c, with the bytes they had.
    std::map<std::string, std::string> extracted;
};
extern ImageState g_image;

// No size limit for a file read whole: a file goes in whatever its size, as
// into a directory prefix.
const size_t kNoLimit = static_cast<size_t>(-1);
const size_t kSector = 512;

// Runs an mtools command on the partition. true when it exits 0; *output
// receives its standard output; quiet drops its errors.
bool Mtools(std::vector<std::string> args, std::string* output = nullptr, bool quiet = false);
// The ranges of the disk that the clusters of paths (files or directories
// of the partition) take, as mshowfat lists them. false when it cannot.
bool ClusterRanges(const std::vector<std::string>& paths, std::vector<HostDiskRange>* ranges);
// Makes sure that the disk mtools works on holds ranges as the image has
// them: reads them out of an image that QEMU writes. false with a reason.
bool Fetch(const std::vector<HostDiskRange>& ranges, std::string* error);
// Reads every directory of the partition of an image that QEMU writes into
// its raw copy, level by level, as mtools finds them.
bool FetchDirectories(std::string* error);
// The partition's entry for path (below C:, any case), or null.
const Entry* Surveyed(const std::string& path);
// True when path is one of the registry files in the image that the caller
// named.
bool IsRegistryInImage(const std::string& path);

// Every file and directory below root, as sorted paths relative to it.
void Walk(const std::string& root, const std::string& relative, std::vector<std::string>* files,
          std::vector<std::string>* dirs);
void RemoveTree(const std::string& root);
std::string Parent(const std::string& path);
std::string LastName(const std::string& path);
// A path of the partition as Windows writes it: "C:\\WINDOWS\\SYSTEM.INI".
std::string DosPath(std::string path);

// Writes what the run made in the staging prefix into the image, all or
// nothing (HostImageCommit).
bool WriteBack(std::string* error);

}  // namespace host_image

#endif
