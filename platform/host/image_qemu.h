// A disk image in a form that QEMU's block layer reads and writes (qcow2,
// VDI, VMDK, dynamic VHD), reached through a raw copy of its virtual disk: a
// sparse file that holds what the run has read of the image (the partition
// table, the FAT partition's boot sector, FATs and directories, the files it
// reads) and takes the run's changes, as a raw image would. The image is
// never converted whole: qemu-io reads the ranges asked for, and at the end
// writes into the image what changed, in place, into the top layer of its
// chain, so that internal snapshots, backing files and the image's identity
// stay as they were. Nothing here knows the containers' layouts: QEMU does.
#ifndef VSETUP_HOST_IMAGE_QEMU_H
#define VSETUP_HOST_IMAGE_QEMU_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/image_forms.h"
#include "platform/host/mtools_run.h"

// A range of bytes of the virtual disk.
using HostDiskRange = std::pair<long long, long long>;  // offset, size

class HostQemuImage {
public:
    // Asks qemu-img about image (of form), which must be neither encrypted,
    // nor held open for writing by another program, nor in a form QEMU does
    // not write, and makes the raw copy at rawPath. false with a reason that
    // follows "the disk image IMAGE ".
    bool Open(const std::string& image, const HostQemuForm& form, const std::string& rawPath, std::string* error);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int RawFd() const { return fd_; }
    long long DiskSize() const { return diskSize_; }
    // Reads what the raw copy does not hold yet of ranges out of the image.
    bool Fetch(std::vector<HostDiskRange> ranges, std::string* error);
    // Lets the qemu-io that reads the image end while the run goes on: it
    // holds QEMU's lock on the image, and a later read starts another.
    void Rest();
    // Reads the FAT partition at offset: its boot sector, FATs, root
    // directory. Push tells the clusters a change allocates by its FAT.
    bool SetPartition(long long offset, std::string* error);
    // Writes what the raw copy holds and the image does not into the image:
    // first the clusters that the FAT newly allocates (new data), flushed by
    // QEMU, then in one qemu-io run, which goes to its end (and its flush)
    // whatever becomes of this process, the sectors of the FATs and
    // directories that changed. For the end of a write-back and for putting
    // it back: a cluster written whole is not looked at again. Its scratch
    // files go in dir. false with a reason.
    bool Push(const std::string& dir, std::string* error);
    // Puts what Push wrote on the disk where QEMU has not (its qemu-io
    // failed before its flush): syncs the image's files. false with a
    // reason.
    bool Flush(std::string* error);
    // The bytes Push has written into the image.
    long long BytesWritten() const { return written_; }

private:
    // Why an image cannot be written while a virtual machine has it.
    static constexpr const char* kInUse =
        "is in use by another program that holds it open for writing, a virtual machine perhaps: shut the virtual "
        "machine down and run vsetup again";

    // What of range [at, at + size) known_ does not hold.
    std::vector<HostDiskRange> Gaps(long long at, long long size) const;
    // Records bytes at as what the image holds there.
    void Remember(long long at, std::string bytes);
    std::string Known(long long at, long long size) const;
    bool ReadRaw(long long at, long long size, std::string* bytes) const;
    // The clusters the raw copy's FAT uses that the image's does not.
    std::vector<HostDiskRange> NewClusters();
    unsigned long FatEntry(const char* fat, long long cluster) const;
    // Reads size bytes at at of the raw copy into a buffer kept for the
    // purpose (no new pages each time); null when it cannot.
    const char* ReadShared(long long at, long long size);
    // Runs the commands ("read -v ...") in the qemu-io that reads the image,
    // started on first use; *dump receives what it prints.
    bool Read(const std::vector<std::string>& commands, std::string* dump, std::string* error);
    bool StartReader(std::string* error);
    void StopReader(std::string* output);
    // Sends the commands to the reading qemu-io and waits for each to be
    // answered; *dump receives what it prints. false when it ends first.
    bool Converse(const std::vector<std::string>& commands, std::string* dump);
    // The reason for a tool that could not be started.
    bool Unstarted(const std::string& tool, int spawned, std::string* error) const;
    // Runs one qemu-io that carries out the write commands, each with its
    // scratch file in dir ("push-N"), and removes those files.
    bool RunWrites(std::vector<std::string>* commands, const std::string& dir, std::string* output,
                   std::string* error);
    bool RunQemu(const std::vector<std::string>& args, const std::string& dir, std::string* output,
                 std::string* error) const;

    // QEMU's raw driver over a disk shows a range of it as a disk of its
    // own: the options for range of file, read by driver ("qcow2", "file").
    static std::string Window(const std::string& driver, const std::string& file, const HostDiskRange& range);
    // Reads range out of the image by qemu-img convert.
    bool FetchWhole(const HostDiskRange& range, std::string* error);

    std::string image_;
    std::string rawPath_;
    std::vector<std::string> files_;  // the image's own files
    HostQemuForm form_;
    int fd_ = -1;
    HostTool reader_;        // the qemu-io reading the image, until the first write
    bool prompted_ = false;  // its first prompt read
    bool unsynced_ = false;  // a qemu-io that writes ended before its flush
    long long diskSize_ = 0;
    long long written_ = 0;
    // What the image holds, as far as it has been read or written, by offset.
    std::map<long long, std::string> known_;
    std::string buffer_;  // ReadShared's
    // The FAT partition, and its first FAT and data area in bytes of the disk.
    HostFatLayout fat_;
    long long fatAt_ = 0;
    long long dataAt_ = 0;
};

#endif
