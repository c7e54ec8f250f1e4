// The forms a disk image comes in, as a table in image_forms.cpp: how each
// is recognised, and where its FAT partition lies, or that QEMU's block
// layer reaches it, or why vsetup does not write it.
#ifndef VSETUP_HOST_IMAGE_FORMS_H
#define VSETUP_HOST_IMAGE_FORMS_H

#include <cstddef>
#include <functional>
#include <string>

// The FAT partition a run installs into.
struct ImagePartition {
    long long offset = 0;  // of its boot sector in the image file, in bytes
    long long clusterSize = 0;
};

// Where the parts of a FAT volume lie, in bytes from its boot sector.
struct HostFatLayout {
    long long fatOffset = 0;  // of the first FAT
    long long fatBytes = 0;   // of each FAT
    long long dataStart = 0;  // of cluster 2, after the FATs and a FAT12/16 root directory
    long long clusterSize = 0;
    long long clusters = 0;
    int fatBits = 0;            // 12, 16 or 32, by the number of clusters
    unsigned long rootCluster;  // FAT32's root directory
};
HostFatLayout HostFatLayoutOf(const unsigned char* boot);

// A form that QEMU reads and writes: qemu-img's name of it ("qcow2"), and
// how messages name it ("qcow2 image"). Empty for a form vsetup writes in
// place.
struct HostQemuForm {
    std::string format;
    std::string name;
};

// Reads size bytes at offset of a disk. false when they cannot all be read.
using HostDiskReader = std::function<bool(long long offset, unsigned char* buffer, size_t size)>;

// Finds the FAT partition of the image of fileSize bytes open on fd by the
// image's form, or, for a form that only QEMU reads, fills *qemu instead.
// false with a reason that follows "the disk image IMAGE " when the form is
// refused or holds no sound FAT partition.
bool HostLocateImagePartition(int fd, long long fileSize, ImagePartition* partition, HostQemuForm* qemu,
                              std::string* error);
// Finds the FAT partition of a virtual disk of diskSize bytes: a bare FAT
// volume, or the first FAT partition of its MBR.
bool HostLocateInDisk(const HostDiskReader& read, long long diskSize, ImagePartition* partition, std::string* error);

// Reads size bytes at offset of fd, going on after short reads and
// interruptions. false when they cannot all be read.
bool HostReadAt(int fd, long long offset, unsigned char* buffer, size_t size);
// Writes bytes at offset of fd whole, going on after short writes and
// interruptions.
bool HostWriteAt(int fd, long long offset, const std::string& bytes);

#endif
