#include "platform/host/image_forms.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/host/byte_order.h"

namespace {

const size_t kSector = 512;

// What tells an image's form: its first and last sectors.
struct ImageHead {
    HostDiskReader read;  // the disk the sectors are of
    long long fileSize = 0;
    unsigned char first[kSector];
    unsigned char last[kSector];
};

// How a run reaches the FAT partition of an image of a form.
enum class ImageReach {
    kRefused,  // not at all: the row's refusal says why
    kInPlace,  // in the image file itself, where the row's locate finds it
    // Through QEMU's block layer: the run reads what it needs of the
    // virtual disk into a raw copy and writes what it changed back in place
    // (image_qemu.cpp); the virtual disk holds a bare FAT volume or an MBR.
    kThroughQemu,
};

struct ImageForm {
    const char* name;  // kThroughQemu: as messages name the image's form
    bool (*recognise)(const ImageHead& head);
    ImageReach reach;
    const char* refusal;  // kRefused: what the image is, for the message
    // kInPlace: where the partition is, or why it is not sound.
    bool (*locate)(const ImageHead& head, ImagePartition* partition, std::string* error);
    const char* qemuFormat;  // kThroughQemu: qemu-img's name of the format
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
// The footer's disk type: 2 fixed, 3 dynamic, 4 differencing; a growing VHD
// begins with a copy of its footer, which counts when its end is cut off.
unsigned long VhdType(const ImageHead& head) {
    if (HasVhdFooter(head)) return HostGetBe32(head.last + 60);
    return std::memcmp(head.first, "conectix", 8) == 0 ? HostGetBe32(head.first + 60) : 0;
}
bool IsFixedVhd(const ImageHead& head) { return HasVhdFooter(head) && VhdType(head) == 2; }
bool IsDynamicVhd(const ImageHead& head) { return VhdType(head) == 3; }
bool IsDifferencingVhd(const ImageHead& head) { return VhdType(head) == 4; }
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
        if (start + length > diskSize || !head.read(start, boot, kSector) ||
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
    {"qcow2 image", IsQcow2, ImageReach::kThroughQemu, nullptr, nullptr, "qcow2"},
    {"VirtualBox VDI image", IsVdi, ImageReach::kThroughQemu, nullptr, nullptr, "vdi"},
    {"VMDK image", IsVmdk, ImageReach::kThroughQemu, nullptr, nullptr, "vmdk"},
    {"dynamic VHD image", IsDynamicVhd, ImageReach::kThroughQemu, nullptr, nullptr, "vpc"},
    // QEMU reads a differencing VHD as if it had no parent.
    {"differencing VHD", IsDifferencingVhd, ImageReach::kRefused,
     "is a differencing VHD image, which vsetup does not write: qemu-img, through which it writes growing images, "
     "does not read a differencing VHD's parent",
     nullptr, nullptr},
    {"fixed VHD", IsFixedVhd, ImageReach::kInPlace, nullptr, InFixedVhd, nullptr},
    {"bare FAT volume", IsFatVolume, ImageReach::kInPlace, nullptr, InRawVolume, nullptr},
    {"raw disk with an MBR", IsAnything, ImageReach::kInPlace, nullptr, InRawMbrDisk, nullptr},
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

bool HostWriteAt(int fd, long long offset, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<long long>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool HostLocateImagePartition(int fd, long long fileSize, ImagePartition* partition, HostQemuForm* qemu,
                              std::string* error) {
    ImageHead head;
    head.read = [fd](long long at, unsigned char* buffer, size_t size) { return HostReadAt(fd, at, buffer, size); };
    head.fileSize = fileSize;
    if (fileSize < static_cast<long long>(kSector) || !head.read(0, head.first, kSector) ||
        !head.read(fileSize - static_cast<long long>(kSector), head.last, kSector)) {
        *error = "is too small to be a disk image";
        return false;
    }
    *qemu = HostQemuForm();
    for (const ImageForm& form : kImageForms) {
        if (!form.recognise(head)) continue;
        if (form.reach == ImageReach::kRefused) {
            *error = form.refusal;
            return false;
        }
        if (form.reach == ImageReach::kThroughQemu) {
            *qemu = HostQemuForm{form.qemuFormat, form.name};
            return true;
        }
        return form.locate(head, partition, error);
    }
    return false;  // the last row takes every image
}

HostFatLayout HostFatLayoutOf(const unsigned char* boot) {
    HostFatLayout layout;
    long long bytesPerSector = HostGetLe16(boot + 11);
    long long fatSectors = HostGetLe16(boot + 22) != 0 ? HostGetLe16(boot + 22) : HostGetLe32(boot + 36);
    long long sectors = HostGetLe16(boot + 19) != 0 ? HostGetLe16(boot + 19) : HostGetLe32(boot + 32);
    long long rootBytes = (HostGetLe16(boot + 17) * 32LL + bytesPerSector - 1) / bytesPerSector * bytesPerSector;
    layout.fatOffset = HostGetLe16(boot + 14) * bytesPerSector;
    layout.fatBytes = fatSectors * bytesPerSector;
    layout.dataStart = layout.fatOffset + boot[16] * layout.fatBytes + rootBytes;
    layout.clusterSize = bytesPerSector * boot[13];
    layout.clusters = layout.clusterSize ? (sectors * bytesPerSector - layout.dataStart) / layout.clusterSize : 0;
    layout.fatBits = layout.clusters < 4085 ? 12 : layout.clusters < 65525 ? 16 : 32;
    layout.rootCluster = HostGetLe32(boot + 44);
    return layout;
}

bool HostLocateInDisk(const HostDiskReader& read, long long diskSize, ImagePartition* partition, std::string* error) {
    ImageHead head;
    head.read = read;
    head.fileSize = diskSize;
    if (diskSize < static_cast<long long>(kSector) || !read(0, head.first, kSector)) {
        *error = "is too small to be a disk image";
        return false;
    }
    return IsFatVolume(head) ? InRawVolume(head, partition, error) : InRawMbrDisk(head, partition, error);
}
