// The forms a disk image comes in, as a table in image_forms.cpp: how each
// is recognised, and where its FAT partition lies or why vsetup does not
// write it.
#ifndef VSETUP_HOST_IMAGE_FORMS_H
#define VSETUP_HOST_IMAGE_FORMS_H

#include <cstddef>
#include <string>

// The FAT partition a run installs into.
struct ImagePartition {
    long long offset = 0;  // of its boot sector in the image file, in bytes
    long long clusterSize = 0;
};

// Finds the FAT partition of the image of fileSize bytes open on fd by the
// image's form. false with a reason that follows "the disk image IMAGE "
// when the form is refused or holds no sound FAT partition.
bool HostLocateImagePartition(int fd, long long fileSize, ImagePartition* partition, std::string* error);

// Reads size bytes at offset of fd, going on after short reads and
// interruptions. false when they cannot all be read.
bool HostReadAt(int fd, long long offset, unsigned char* buffer, size_t size);

#endif
