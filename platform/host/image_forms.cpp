#include "platform/host/image_forms.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host/byte_order.h"

namespace {

const size_t kSector = 512;
const char kConvertAdvice[] = "; convert it to a raw image first: qemu-img convert -O raw IMAGE IMAGE.img";

// What tells an image's form: its first and last sectors.
struct ImageHead {
    int fd = -1;
    long long fileSize = 0;
    unsigned char first[kSector];
    unsigned char last[kSector];
};

// How a run reaches the FAT partition of an image of a form.
enum class ImageReach {
    kRefused,  // not at all: the row's refusal says why
    kInPlace,  // in the image file itself, where the row's locate finds it
    // A form that an outside tool converts to a raw disk and back would be
    // staged through that tool's steps, and the raw copy then located.
};

struct ImageForm {
    const char* name;
    bool (*recognise)(const ImageHead& head);
    ImageReach reach;
    const char* refusal;  // kRefused: what the image is, for the message
    // kInPlace: where the partition is, or why it is not sound.
    bool (*locate)(const ImageHead& head, ImagePartition* partition, std::string* error);
};

// The cluster size when sector is the boot sector of a FAT12/16/32 volume,
// else 0.
long long FatClusterSize(const unsigned char* sector) {
    unsigned bytesPerSector = HostGetLe16(sector + 11);
    unsigned sectorsPerCluster = sector[13];
    bool sizes =
        (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
        sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0;
    bool jump = sector[0] == 0xEB || sector[0] == 0xE9;
    bool fats = HostGetLe16(sector + 14) >= 1 && (sector[16] == 1 || sector[16] == 2);
    bool named = std::memcmp(sector + 54, "FAT", 3) == 0 || std::memcmp(sector + 82, "FAT32", 5) == 0;
    return sizes && jump && fats && named ? static_cast<long long>(bytesPerSector) * sectorsPerCluster : 0;
}

bool IsFatType(unsigned char type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

// The bytes the FAT volume whose boot sector this is claims to span.
long long FatVolumeSize(const unsigned char* sector) {
    unsigned long sectors = HostGetLe16(sector + 19);
    if (sectors == 0) sectors = HostGetLe32(sector + 32);
    return static_cast<long long>(sectors) * HostGetLe16(sector + 11);
}

bool HasVhdFooter(const ImageHead& head) { return std::memcmp(head.last, "conectix", 8) == 0; }

bool IsQcow2(const ImageHead& head) { return std::memcmp(head.first, "QFI\xfb", 4) == 0; }
bool IsVdi(const ImageHead& head) { return HostGetLe32(head.first + 64) == 0xBEDA107FUL; }
bool IsVmdk(const ImageHead& head) {
    return std::memcmp(head.first, "KDMV", 4) == 0 || std::memcmp(head.first, "# Disk DescriptorFile", 21) == 0;
}
// The footer's disk type: 2 fixed, 3 dynamic, 4 differencing.
bool IsFixedVhd(const ImageHead& head) { return HasVhdFooter(head) && HostGetBe32(head.last + 60) == 2; }
bool IsGrowingVhd(const ImageHead& head) { return HasVhdFooter(head) && HostGetBe32(head.last + 60) != 2; }
// The copy of the footer that a dynamic VHD begins with, its end cut off.
bool IsVhdHeaderOnly(const ImageHead& head) {
    return !HasVhdFooter(head) && std::memcmp(head.first, "conectix", 8) == 0;
}
bool IsFatVolume(const ImageHead& head) { return FatClusterSize(head.first) != 0; }
bool IsAnything(const ImageHead&) { return true; }

// A FAT volume from the first byte of a disk of diskSize bytes.
bool InBareVolume(const ImageHead& head, long long diskSize, ImagePartition* partition, std::string* error) {
    partition->offset = 0;
    partition->clusterSize = FatClusterSize(head.first);
    if (FatVolumeSize(head.first) > diskSize) {
        *error = "holds a FAT file system larger than the image";
        return false;
    }
    return true;
}

// The first primary FAT partition of a disk of diskSize bytes with an MBR.
bool InMbrDisk(const ImageHead& head, long long diskSize, ImagePartition* partition, std::string* error) {
    if (head.first[510] != 0x55 || head.first[511] != 0xAA) {
        *error = "holds neither a partition table nor a FAT file system";
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (head.first[446 + i * 16 + 4] == 0xEE) {
            *error = "has a GPT partition table; vsetup installs into disks with an MBR partition table only";
            return false;
        }
    }
    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = head.first + 446 + i * 16;
        long long start = static_cast<long long>(HostGetLe32(entry + 8)) * kSector;
        long long length = static_cast<long long>(HostGetLe32(entry + 12)) * kSector;
        if (!IsFatType(entry[4]) || start == 0) continue;
        unsigned char boot[kSector];
        // mtools goes by the file system's own size: it must lie within the
        // partition, so that nothing outside it is written.
        if (start + length > diskSize || !HostReadAt(head.fd, start, boot, kSector) ||
            (partition->clusterSize = FatClusterSize(boot)) == 0 || FatVolumeSize(boot) > length) {
            *error =
                "has a FAT partition " + std::to_string(i + 1) + " that holds no FAT file system within its bounds";
            return false;
        }
        partition->offset = start;
        return true;
    }
    *error = "has no FAT12, FAT16 or FAT32 partition among its primary partitions";
    return false;
}

// A fixed VHD is a raw disk followed by its footer.
bool InFixedVhd(const ImageHead& head, ImagePartition* partition, std::string* error) {
    long long diskSize = head.fileSize - static_cast<long long>(kSector);
    return IsFatVolume(head) ? InBareVolume(head, diskSize, partition, error)
                             : InMbrDisk(head, diskSize, partition, error);
}
bool InRawVolume(const ImageHead& head, ImagePartition* partition, std::string* error) {
    return InBareVolume(head, head.fileSize, partition, error);
}
bool InRawMbrDisk(const ImageHead& head, ImagePartition* partition, std::string* error) {
    return InMbrDisk(head, head.fileSize, partition, error);
}

// In the order they are tried: the first form that recognises the image is
// its form. The last row takes whatever is left.
const ImageForm kImageForms[] = {
    {"qcow2", IsQcow2, ImageReach::kRefused, "is a qcow2 image, which vsetup does not write", nullptr},
    {"VDI", IsVdi, ImageReach::kRefused, "is a VirtualBox VDI image, which vsetup does not write", nullptr},
    {"VMDK", IsVmdk, ImageReach::kRefused, "is a VMDK image, which vsetup does not write", nullptr},
    {"dynamic or differencing VHD", IsGrowingVhd, ImageReach::kRefused,
     "is a dynamic or differencing VHD image, which vsetup does not write", nullptr},
    {"dynamic VHD", IsVhdHeaderOnly, ImageReach::kRefused, "is a dynamic VHD image, which vsetup does not write",
     nullptr},
    {"fixed VHD", IsFixedVhd, ImageReach::kInPlace, nullptr, InFixedVhd},
    {"bare FAT volume", IsFatVolume, ImageReach::kInPlace, nullptr, InRawVolume},
    {"raw disk with an MBR", IsAnything, ImageReach::kInPlace, nullptr, InRawMbrDisk},
};

}  // namespace

bool HostReadAt(int fd, long long offset, unsigned char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, buffer + got, size - got, offset + static_cast<long long>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool HostLocateImagePartition(int fd, long long fileSize, ImagePartition* partition, std::string* error) {
    ImageHead head;
    head.fd = fd;
    head.fileSize = fileSize;
    if (fileSize < static_cast<long long>(kSector) || !HostReadAt(fd, 0, head.first, kSector) ||
        !HostReadAt(fd, fileSize - static_cast<long long>(kSector), head.last, kSector)) {
        *error = "is too small to be a disk image";
        return false;
    }
    for (const ImageForm& form : kImageForms) {
        if (!form.recognise(head)) continue;
        if (form.reach == ImageReach::kRefused) {
            *error = std::string(form.refusal) + kConvertAdvice;
            return false;
        }
        return form.locate(head, partition, error);
    }
    return false;  // the last row takes every image
}
