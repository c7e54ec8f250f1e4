// A virtual machine's hard-disk image as the prefix: C: is the first FAT
// partition of the image, reached through mtools only.
//
// The run works on a staging prefix in a temporary directory: it holds the
// Windows directories with the files of the image that the run reads
// (SYSTEM.INI, the system's registry) and copies of the registry files kept
// beside the image ("<image>.registry.reg"). When the run is over,
// HostImageCommit writes what the run made into the partition, each file
// under a temporary name that then takes the real one, SYSTEM.INI last but
// for the registry, and the registry beside the image after that. The
// pieces: the image forms (image_forms.cpp), the mtools runner
// (mtools_run.cpp), the write-back (image_write_back.cpp). The image is
// never grown and nothing outside the partition is written. The image stays
// locked from HostImageOpen to the end of the process, so a second run on it
// waits; mtools reaches it through that locked descriptor, never by its path
// (mtools reads "@@" in a path as an offset).
#ifndef VSETUP_HOST_DISK_IMAGE_H
#define VSETUP_HOST_DISK_IMAGE_H

#include <string>
#include <vector>

// A file of the system's registry that an image run stages and writes back.
// Those in the image are written whatever their read-only attribute, as
// Windows writes them.
struct HostImageRegistryFile {
    enum Role {
        // In the image, read and written by the run: copied into the staging
        // prefix when the run starts, and written after every other file.
        kInImage,
        // In the image, made by the run (a backup): written among the rest.
        kMadeInImage,
        // Beside the image as "<image>.<name>", staged as <name> at the top
        // of the staging prefix: written once the image is on the disk.
        kBesideImage,
    };
    Role role;
    std::string name;  // below C: ("WINDOWS/SYSTEM.DAT"), or "registry.reg"
};

// Checks the image's form (a raw disk with an MBR, a bare FAT volume, a fixed
// VHD), waits for its lock and fills a new staging prefix, whose path it puts
// in *staging. registryFiles, in the order they are written back, are the
// registry's files. false with a reason (the image untouched) when that
// fails.
bool HostImageOpen(const std::string& image, const std::vector<HostImageRegistryFile>& registryFiles,
                   std::string* staging, std::string* error);
// True after a successful HostImageOpen.
bool HostImageActive();
// Writes the run's results into the image and removes the staging prefix:
// all of them, or none when registryWritten is false (the run could not
// write its registry) or writing fails. false with a reason; what can be
// found out beforehand (room, names, what is in the way) is checked before
// anything is written, and a failure halfway puts the image back as it was.
bool HostImageCommit(bool registryWritten, std::string* error);
// Names the image instead of the staging prefix in a message: "C:\X in
// the disk image IMAGE" for a file below drive_c. A start that fails
// leaves no staging prefix behind: it goes when the process ends.
void HostImageNameIn(std::string* text);

// The directory entries a name takes on a FAT disk as mcopy writes it: one,
// and for a long name one more for each 13 characters of it.
int HostFatNameEntries(const std::string& name);

#endif
