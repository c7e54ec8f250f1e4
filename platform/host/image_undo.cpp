#include "platform/host/image_undo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/host/byte_order.h"
#include "platform/host/host_io.h"
#include "platform/host/image_forms.h"
#include "platform/host/image_state.h"

namespace host_image {

namespace {

// The journal: the header, then each range as its offset, its length (64
// bits each, little-endian) and its bytes, then the trailer and a checksum
// of everything before the trailer. Anything else is not a whole journal.
const char kHeader[] = "VSUNDO1\n";
const char kTrailer[] = "VSUNDEND";
const size_t kMark = 8;

uint64_t Checksum(const std::string& bytes, size_t size) {
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ULL;
    return hash;
}

void AppendLe64(std::string* out, uint64_t value) {
    unsigned char bytes[8];
    HostPutLe32(bytes, static_cast<uint32_t>(value));
    HostPutLe32(bytes + 4, static_cast<uint32_t>(value >> 32));
    out->append(reinterpret_cast<char*>(bytes), sizeof bytes);
}

// The ranges of a whole journal, or false.
bool Parse(const std::string& journal, std::vector<std::pair<long long, std::string>>* ranges) {
    if (journal.size() < 3 * kMark || journal.compare(0, kMark, kHeader) != 0) return false;
    const size_t end = journal.size() - 2 * kMark;
    if (journal.compare(end, kMark, kTrailer) != 0 ||
        HostGetLe64(journal.data() + end + kMark) != Checksum(journal, end))
        return false;
    for (size_t at = kMark; at < end;) {
        if (end - at < 2 * kMark) return false;
        uint64_t offset = HostGetLe64(journal.data() + at);
        uint64_t size = HostGetLe64(journal.data() + at + kMark);
        at += 2 * kMark;
        if (size > end - at || offset > static_cast<uint64_t>(INT64_MAX)) return false;
        ranges->emplace_back(static_cast<long long>(offset), journal.substr(at, size));
        at += size;
    }
    return true;
}

bool Remove(const std::string& journal) {
    return (unlink(journal.c_str()) == 0 || errno == ENOENT) && HostSyncDirectoryOf(journal);
}

// Writes the ranges into the disk open on fd, the last kept first, and syncs
// it: "" or why not. A range that cannot be written does not keep the others
// from going back.
std::string PutBack(int fd, const std::vector<std::pair<long long, std::string>>& ranges) {
    struct stat st;
    if (fstat(fd, &st) != 0) return std::strerror(errno);
    std::string why;
    for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
        if (it->first + static_cast<long long>(it->second.size()) > st.st_size) {
            why = "it names bytes beyond the end of the image";
        } else if (!HostWriteAt(fd, it->first, it->second) && why.empty()) {
            why = std::strerror(errno);
        }
    }
    if (!HostFsync(fd) && why.empty()) why = std::strerror(errno);
    return why;
}

}  // namespace

std::string UndoJournalOf(const std::string& image) { return image + ".vsetup-undo"; }

bool Undo::Save(long long at, long long size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!HostReadAt(g_image.diskFd, at, reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size())) return false;
    ranges_.emplace_back(at, std::move(bytes));
    return true;
}

bool Undo::Keep() {
    std::string journal = kHeader;
    for (const auto& range : ranges_) {
        AppendLe64(&journal, static_cast<uint64_t>(range.first));
        AppendLe64(&journal, range.second.size());
        journal += range.second;
    }
    uint64_t sum = Checksum(journal, journal.size());
    journal += kTrailer;
    AppendLe64(&journal, sum);
    const std::string path = UndoJournalOf(g_image.image);
    int fd = HostCreateAfresh(path, O_WRONLY);
    if (fd < 0) return false;
    journal_ = path;
    bool ok = HostWriteAll(fd, journal.data(), journal.size()) && HostFsync(fd);
    int code = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    // The journal's name is on the disk before the image is touched.
    ok = ok && HostSyncDirectoryOf(path);
    if (!ok) {
        if (code == 0) code = errno;
        Drop();
        errno = code;
    }
    return ok;
}

bool Undo::Drop() {
    if (journal_.empty()) return true;
    bool removed = Remove(journal_);
    journal_.clear();
    return removed;
}

bool Undo::Restore() {
    bool ok = PutBack(g_image.diskFd, ranges_).empty();
    // An image that QEMU writes gets what was put back.
    std::string why;
    if (g_image.qemu.IsOpen() && !g_image.qemu.Push(g_image.staging, &why)) ok = false;
    return ok && Drop();
}

bool RecoverUndo(int fd, const std::string& image, std::string* error) {
    const std::string path = UndoJournalOf(image);
    std::string journal, why;
    bool missing = false;
    std::vector<std::pair<long long, std::string>> ranges;
    if (!HostReadWholeFile(path, &journal, &missing, kNoLimit, false)) {
        if (missing) return true;
        why = HostReadError(errno, kNoLimit);
    } else if (Parse(journal, &ranges)) {  // else it was cut before the image was written
        why = PutBack(fd, ranges);
    }
    if (why.empty() && !Remove(path)) why = std::string("cannot remove it: ") + std::strerror(errno);
    if (!why.empty())
        *error = "the disk image " + image + " cannot be put back as it was before a run that was cut off: " + path +
                 ": " + why;
    return why.empty();
}

void RemoveBesideTemporaries() {
    for (const BesideFile& file : g_image.beside) {
        const std::string dir = HostDirectoryOf(file.host);
        const std::string stem = "." + LastName(file.host) + ".";
        DIR* listing = opendir(dir.c_str());
        bool removed = false;
        while (dirent* entry = listing ? readdir(listing) : nullptr) {
            const std::string name = entry->d_name;
            if (name.size() == stem.size() + 6 && name.compare(0, stem.size(), stem) == 0)
                removed = unlink((dir + "/" + name).c_str()) == 0 || removed;
        }
        if (listing) closedir(listing);
        if (removed) HostSyncDirectoryOf(file.host);
    }
}

}  // namespace host_image
