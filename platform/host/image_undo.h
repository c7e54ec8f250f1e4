// The sectors of a disk image that a write-back changes, kept before its
// first write so that a failure halfway, or a power cut, can put them back.
//
// For an image written in place (a raw disk, a bare FAT volume, a fixed
// VHD) they are kept on the disk too, as the undo journal beside the image
// ("<image>.vsetup-undo"): written whole with a checksum, synced, and its
// directory synced, before the first write into the image, and removed (its
// directory synced) once the image is synced: the write-back's commit
// point. The next open of the image, under its lock, puts a whole journal
// back first; one that is not whole was cut before the image was touched
// and is just removed. mtools writes a file's data, FATs and directory
// entries in any order; with the journal a cut leaves the old file system,
// the new data at most in free clusters, or the new one.
#ifndef VSETUP_HOST_IMAGE_UNDO_H
#define VSETUP_HOST_IMAGE_UNDO_H

#include <string>
#include <utility>
#include <vector>

namespace host_image {

class Undo {
public:
    // Keeps size bytes at the disk's offset at (the disk mtools changes).
    bool Save(long long at, long long size);
    // Writes what is kept into the undo journal beside the image. false
    // with errno set; no journal is left then.
    bool Keep();
    // The commit point: removes the journal, the image being synced.
    bool Drop();
    // Puts the kept sectors back and syncs the image; then the journal
    // goes. false when that fails (a journal stays for the next open).
    bool Restore();
    void Clear() { ranges_.clear(); }

private:
    std::vector<std::pair<long long, std::string>> ranges_;
    std::string journal_;  // its path while it is on the disk
};

// The undo journal of image.
std::string UndoJournalOf(const std::string& image);

// Puts back into the image open (and locked) on fd what a write-back that
// was cut off kept of it, and removes the journal. false with a reason
// when a whole journal cannot be put back; the image is then refused.
bool RecoverUndo(int fd, const std::string& image, std::string* error);

// Removes the temporary files of the registry files kept beside the image
// (".<image>.registry.reg.XXXXXX") that a run cut off before their renames
// left; with the image locked, no other run is writing them.
void RemoveBesideTemporaries();

}  // namespace host_image

#endif
