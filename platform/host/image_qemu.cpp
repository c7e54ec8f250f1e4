#include "platform/host/image_qemu.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/host/byte_order.h"
#include "platform/host/host_io.h"
#include "platform/host/mtools_run.h"

namespace {

const long long kSector = 512;
// Up to this many runs of new data go into the image by qemu-img convert
// each; more go through qemu-io's scratch files.
const size_t kDirectRuns = 4;

// The number after "key": in qemu-img's JSON, or -1.
long long JsonNumber(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
}

// A scratch file for qemu-io to read: no sync, the image's flush counts.
bool WriteScratch(const std::string& path, const char* bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && HostWriteAll(fd, bytes, size);
    return fd >= 0 && close(fd) == 0 && ok;
}

// Copies size bytes at offset of fd into a new scratch file at path, inside
// the kernel: new data does not pass through this process.
bool CopyOut(int fd, long long offset, long long size, const std::string& path) {
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    loff_t from = offset;
    while (out >= 0 && size > 0) {
        ssize_t n = copy_file_range(fd, &from, out, nullptr, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size -= n;
    }
    return out >= 0 && close(out) == 0 && size == 0;
}

}  // namespace

bool HostQemuImage::Unstarted(const std::string& tool, int spawned, std::string* error) const {
    *error = "is a " + form_.name + ", which vsetup reads and writes with " + tool +
             (spawned == ENOENT ? ", which is not installed: install the package qemu-utils"
                                : std::string(", which cannot be started: ") + std::strerror(spawned));
    return false;
}

bool HostQemuImage::RunQemu(const std::vector<std::string>& args, const std::string& dir, std::string* output,
                            std::string* error) const {
    // qemu-io splits its commands at spaces: the scratch files are named
    // relative to dir.
    HostToolOptions options;
    options.env = {"LC_ALL=C"};
    options.mergeErrors = true;
    options.dir = dir;
    int spawned = 0;
    bool ran = HostRunTool(args, options, output, &spawned);
    if (spawned != 0) return Unstarted(args[0], spawned, error);
    if (ran) return true;
    // QEMU locks the images it opens: a virtual machine that runs holds its
    // disk for writing.
    if (output->find("Failed to get") != std::string::npos && output->find("lock") != std::string::npos) {
        *error = kInUse;
    } else {
        std::string line = output->substr(0, output->find('\n'));
        if (line.compare(0, args[0].size() + 2, args[0] + ": ") == 0) line.erase(0, args[0].size() + 2);
        *error = "cannot be " + std::string(args[0] == "qemu-img" || args[1] == "-r" ? "read" : "written") + " by " +
                 args[0] + ": " + line;
    }
    return false;
}

bool HostQemuImage::Open(const std::string& image, const HostQemuForm& form, const std::string& rawPath,
                         std::string* error) {
    char* real = realpath(image.c_str(), nullptr);
    image_ = real ? real : image;  // a path from "/" on, which QEMU takes for no protocol
    std::free(real);
    form_ = form;
    rawPath_ = rawPath;
    // The reading qemu-io starts while qemu-img looks at the image (the
    // first read says why, when it cannot).
    std::string info, later;
    StartReader(&later);
    if (!RunQemu({"qemu-img", "info", "--output=json", "-f", form.format, image_}, "", &info, error)) {
        Close();
        return false;
    }
    if (info.find("\"encrypted\": true") != std::string::npos) {
        *error = "is an encrypted " + form.name + ", which vsetup does not write";
        return false;
    }
    if (info.find("\"create-type\": \"streamOptimized\"") != std::string::npos) {
        *error = "is a stream-optimized VMDK image, which QEMU does not write in place; vsetup does not write it";
        return false;
    }
    diskSize_ = JsonNumber(info, "virtual-size");
    // The files the image is made of (a flat VMDK's extents beside it), as
    // QEMU names them from "/" on; its backing files are never written.
    files_.clear();
    const std::string key = "\"filename\": \"";
    for (size_t at = info.find(key); at != std::string::npos; at = info.find(key, at + 1)) {
        std::string file = info.substr(at + key.size(), info.find('"', at + key.size()) - at - key.size());
        if (std::find(files_.begin(), files_.end(), file) == files_.end()) files_.push_back(file);
    }
    int fd = open(rawPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // Clear of the descriptor number mtools gets it on.
    fd_ = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, kHostMtoolsFd + 1);
    if (fd >= 0) close(fd);
    if (diskSize_ <= 0 || fd_ < 0 || ftruncate(fd_, diskSize_) != 0) {
        *error = "cannot be copied into " + rawPath;
        Close();
        return false;
    }
    return true;
}

void HostQemuImage::Close() {
    std::string output;
    StopReader(&output);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    known_.clear();
}

std::vector<HostDiskRange> HostQemuImage::Gaps(long long at, long long size) const {
    std::vector<HostDiskRange> gaps;
    long long end = at + size;
    auto it = known_.upper_bound(at);
    if (it != known_.begin()) --it;
    for (; it != known_.end() && it->first < end; ++it) {
        long long knownEnd = it->first + static_cast<long long>(it->second.size());
        if (knownEnd <= at) continue;
        if (it->first > at) gaps.emplace_back(at, it->first - at);
        at = std::max(at, knownEnd);
    }
    if (at < end) gaps.emplace_back(at, end - at);
    return gaps;
}

void HostQemuImage::Remember(long long at, std::string bytes) {
    long long end = at + static_cast<long long>(bytes.size());
    auto it = known_.upper_bound(at);
    if (it != known_.begin()) --it;
    for (; it != known_.end() && it->first < end; ++it) {
        long long from = std::max(at, it->first);
        long long to = std::min(end, it->first + static_cast<long long>(it->second.size()));
        if (from < to) it->second.replace(from - it->first, to - from, bytes, from - at, to - from);
    }
    std::vector<HostDiskRange> gaps = Gaps(at, end - at);
    if (gaps.size() == 1 && gaps[0].first == at && gaps[0].second == end - at) {
        known_[at] = std::move(bytes);  // the common case: new to known_, whole
        return;
    }
    for (const HostDiskRange& gap : gaps) known_[gap.first] = bytes.substr(gap.first - at, gap.second);
}

std::string HostQemuImage::Known(long long at, long long size) const {
    std::string bytes(static_cast<size_t>(size), '\0');
    auto it = known_.upper_bound(at);
    if (it != known_.begin()) --it;
    for (; it != known_.end() && it->first < at + size; ++it) {
        long long from = std::max(at, it->first);
        long long to = std::min(at + size, it->first + static_cast<long long>(it->second.size()));
        if (from < to) bytes.replace(from - at, to - from, it->second, from - it->first, to - from);
    }
    return bytes;
}

bool HostQemuImage::ReadRaw(long long at, long long size, std::string* bytes) const {
    bytes->assign(static_cast<size_t>(size), '\0');
    return HostReadAt(fd_, at, reinterpret_cast<unsigned char*>(&(*bytes)[0]), bytes->size());
}

bool HostQemuImage::SetPartition(long long offset, std::string* error) {
    std::string boot;
    if (!Fetch({{offset, kSector}}, error)) return false;
    ReadRaw(offset, kSector, &boot);
    fat_ = HostFatLayoutOf(reinterpret_cast<const unsigned char*>(boot.data()));
    fatAt_ = offset + fat_.fatOffset;
    dataAt_ = offset + fat_.dataStart;
    // With FAT32's root directory, which most often begins the data area.
    long long rootStart = fat_.fatBits == 32 ? fat_.clusterSize : 0;
    if (!Fetch({{offset, dataAt_ - offset + rootStart}}, error)) return false;
    if (fat_.fatBits != 32) return true;
    // FAT32 keeps its root directory in clusters, as a subdirectory.
    std::string fat = Known(fatAt_, fat_.fatBytes);
    std::vector<HostDiskRange> root;
    for (long long c = fat_.rootCluster; c >= 2 && c < fat_.clusters + 2 && root.size() < 65536;
         c = static_cast<long long>(FatEntry(fat.data(), c)))
        root.emplace_back(dataAt_ + (c - 2) * fat_.clusterSize, fat_.clusterSize);
    return Fetch(root, error);
}

unsigned long HostQemuImage::FatEntry(const char* fat, long long cluster) const {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(fat);
    int bits = fat_.fatBits;
    long long at = bits == 12 ? cluster * 3 / 2 : cluster * bits / 8;
    if (at + (bits == 32 ? 4 : 2) > fat_.fatBytes) return 0;
    if (bits == 32) return HostGetLe32(bytes + at) & 0x0FFFFFFFUL;
    unsigned long entry = HostGetLe16(bytes + at);
    if (bits == 16) return entry;
    return cluster % 2 ? entry >> 4 : entry & 0xFFF;
}

std::vector<HostDiskRange> HostQemuImage::NewClusters() {
    std::vector<HostDiskRange> fresh;
    // The FAT as the image has it, in place where one range holds it all.
    auto holder = known_.upper_bound(fatAt_);
    std::string copy;
    const char* before = nullptr;
    if (holder != known_.begin() &&
        (--holder)->first + static_cast<long long>(holder->second.size()) >= fatAt_ + fat_.fatBytes) {
        before = holder->second.data() + (fatAt_ - holder->first);
    } else {
        copy = Known(fatAt_, fat_.fatBytes);
        before = copy.data();
    }
    const char* now = ReadShared(fatAt_, fat_.fatBytes);
    if (fat_.fatBits == 0 || !now || std::memcmp(now, before, static_cast<size_t>(fat_.fatBytes)) == 0) return fresh;
    for (long long c = 2; c < fat_.clusters + 2; ++c) {
        if (FatEntry(before, c) != 0 || FatEntry(now, c) == 0) continue;
        long long at = dataAt_ + (c - 2) * fat_.clusterSize;
        if (!fresh.empty() && fresh.back().first + fresh.back().second == at) {
            fresh.back().second += fat_.clusterSize;
        } else {
            fresh.emplace_back(at, fat_.clusterSize);
        }
    }
    return fresh;
}

const char* HostQemuImage::ReadShared(long long at, long long size) {
    if (static_cast<long long>(buffer_.size()) < size) buffer_.resize(static_cast<size_t>(size));
    return HostReadAt(fd_, at, reinterpret_cast<unsigned char*>(&buffer_[0]), static_cast<size_t>(size))
               ? buffer_.data()
               : nullptr;
}

bool HostQemuImage::Push(const std::string& dir, std::string* error) {
    // The commands, each with its scratch file: the new data first, then the
    // sectors of the FATs and directories that changed.
    std::vector<std::string> commands;
    std::vector<std::pair<long long, std::string>> changed;
    bool ok = true;
    auto scratch = [&](long long at, const char* bytes, size_t size) {
        const std::string name = "push-" + std::to_string(commands.size());
        ok = ok && (!bytes || WriteScratch(dir + "/" + name, bytes, size));
        commands.push_back("write -q -s " + name + " " + std::to_string(at) + " " + std::to_string(size));
        written_ += static_cast<long long>(size);
    };
    std::string read, output;
    StopReader(&read);  // its lock would keep QEMU from writing
    // New data in few runs goes from the raw copy into the image directly
    // (one buffer, reused: the pages of a larger one cost more than the
    // copy), the rest through a qemu-io run of its own. Either way QEMU has
    // flushed it to the disk before the FATs and directories that make it
    // visible are written: a kill or a power cut between leaves it in free
    // clusters.
    std::vector<HostDiskRange> fresh = NewClusters();
    for (const HostDiskRange& range : fresh) {
        if (fresh.size() > kDirectRuns) {
            scratch(range.first, nullptr, static_cast<size_t>(range.second));
            ok = ok && CopyOut(fd_, range.first, range.second, dir + "/push-" + std::to_string(commands.size() - 1));
        } else if (ok && !RunQemu({"qemu-img", "convert", "-m", "1", "-n", "-t", "writeback", "--image-opts",
                                   Window("file", rawPath_, range), "--target-image-opts",
                                   Window(form_.format, image_, range)},
                                  "", &output, error)) {
            return false;
        } else {
            written_ += range.second;
        }
    }
    if (!ok) *error = "cannot be written: its raw copy or the scratch files in " + dir + " cannot";
    if (!ok || !RunWrites(&commands, dir, &output, error)) return false;
    for (const auto& known : known_) {
        size_t size = known.second.size();
        const char* now = ReadShared(known.first, static_cast<long long>(size));
        ok = ok && now;
        if (!now || std::memcmp(now, known.second.data(), size) == 0) continue;
        for (size_t at = 0; at < size; at += kSector) {
            size_t n = std::min(static_cast<size_t>(kSector), size - at);
            if (std::memcmp(now + at, known.second.data() + at, n) == 0) continue;
            long long offset = known.first + static_cast<long long>(at);
            if (!changed.empty() &&
                changed.back().first + static_cast<long long>(changed.back().second.size()) == offset) {
                changed.back().second.append(now + at, n);
            } else {
                changed.emplace_back(offset, std::string(now + at, n));
            }
        }
    }
    for (const auto& change : changed) scratch(change.first, change.second.data(), change.second.size());
    if (!ok) *error = "cannot be written: its raw copy or the scratch files in " + dir + " cannot";
    bool opened = ok;
    ok = ok && RunWrites(&commands, dir, &output, error);
    // Once qemu-io has opened the image, some of the writes may be in it:
    // the sectors put back afterwards are then written over them.
    if (!ok && (!opened || output.find("can't open") != std::string::npos)) return false;
    for (auto& change : changed) Remember(change.first, std::move(change.second));
    return ok;
}

bool HostQemuImage::RunWrites(std::vector<std::string>* commands, const std::string& dir, std::string* output,
                              std::string* error) {
    if (commands->empty()) return true;
    // No flush after each write, as mtools syncs nothing between its
    // commands: QEMU's flush at the end puts them all on the disk.
    std::vector<std::string> args = {"qemu-io", "-t", "writeback", "-f", form_.format};
    for (const std::string& command : *commands) args.insert(args.end(), {"-c", command});
    args.insert(args.end(), {"-c", "flush", image_});
    unsynced_ = true;
    bool ok = RunQemu(args, dir, output, error);
    unsynced_ = !ok;
    for (size_t i = 0; i < commands->size(); ++i) unlink((dir + "/push-" + std::to_string(i)).c_str());
    commands->clear();
    return ok;
}

std::string HostQemuImage::Window(const std::string& driver, const std::string& file, const HostDiskRange& range) {
    std::string path;
    for (char c : file) path += c == ',' ? std::string(",,") : std::string(1, c);  // as QEMU's options quote it
    return "driver=raw,offset=" + std::to_string(range.first) + ",size=" + std::to_string(range.second) +
           ",file.driver=" + driver + (driver == "file" ? ",file.filename=" : ",file.file.filename=") + path;
}

bool HostQemuImage::Flush(std::string* error) {
    if (!unsynced_) return true;
    for (const std::string& file : files_) {
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        bool synced = fd >= 0 && fdatasync(fd) == 0;
        if (fd >= 0) close(fd);
        if (!synced) {
            *error = "cannot be written to the disk: " + file + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}
