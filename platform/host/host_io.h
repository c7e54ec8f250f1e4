// File primitives shared by the host backend's pieces: whole writes, whole
// reads, whole replacement and directory syncs.
#ifndef VSETUP_HOST_IO_H
#define VSETUP_HOST_IO_H

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct stat;

// Writes all size bytes, going on after short writes and interruptions.
// false on an error or when nothing more can be written.
bool HostWriteAll(int fd, const void* data, size_t size);

// Puts what was written to fd on stable storage, going on after
// interruptions. A descriptor that cannot be synchronised at all (a pipe, a
// device: EINVAL) has nothing to put there and counts as synced. false with
// errno set otherwise.
bool HostFsync(int fd);
// The directory part of a host path ("." for a bare name, "/" for the root).
std::string HostDirectoryOf(const std::string& path);

// Puts the directory holding hostPath on stable storage, so that a file
// created, renamed or removed there stays so after a crash. false when the
// directory cannot be opened or synced.
bool HostSyncDirectoryOf(const std::string& hostPath);

// The largest file HostReadWholeFile reads by default: profile files (a
// Windows 95 profile is at most 64 KB).
const size_t kHostMaxTextFile = 16u << 20;

// Opens a regular file for reading without ever blocking (a FIFO does not
// open) and without side effects (a device is never opened). -1 with errno
// set (EINVAL for anything that is not a regular file). Unless followLinks,
// a symbolic link in the file's place is not followed either (ELOOP).
// seen, when given, is what an lstat of hostPath just found: a regular file
// there is opened without looking again, and a link that took its place
// since is not followed.
int HostOpenRegular(const std::string& hostPath, bool followLinks = true, const struct stat* seen = nullptr);

// Opens hostPath for writing with flags (O_WRONLY or O_RDWR, with O_CREAT,
// O_EXCL, O_TRUNC, O_APPEND as needed; new files get mode) without ever
// going through what stands in the file's place: a symbolic link is not
// followed (ELOOP), a FIFO, device or directory is neither opened nor
// waited on (EINVAL, EISDIR). -1 with errno set.
int HostOpenForWriting(const std::string& hostPath, int flags, mode_t mode = 0644);

// Makes hostPath anew, empty, for writing with flags (O_WRONLY, O_APPEND):
// what stands there, a link included, is removed, never followed, and the
// file is created only where nothing stands. -1 with errno set.
int HostCreateAfresh(const std::string& hostPath, int flags);

// Reads a whole regular file of at most maxSize bytes. false when it cannot
// be read (errno EINVAL when it is not a regular file, EFBIG when it is
// larger); *missing tells whether that was because it does not exist (may be
// null). followLinks as for HostOpenRegular. A file that does not begin
// with signature is refused (EILSEQ) once those first bytes are read, before
// the rest; the size is checked before anything is read.
bool HostReadWholeFile(const std::string& hostPath, std::string* data, bool* missing,
                       size_t maxSize = kHostMaxTextFile, bool followLinks = true,
                       const std::string& signature = std::string());

// The reason of the last failed read in words, as HostReadWholeFile leaves
// errno ("is not a regular file", "is larger than N bytes", ...).
std::string HostReadError(int code, size_t maxSize = kHostMaxTextFile);

// Whether hostPath, with its links resolved, stays inside the current
// directory (for the installer, the disk it was started from): a link on a
// disk never brings a file of the host into the Windows tree. A path that
// leads nowhere stays (opening it fails on its own). seen as for
// HostOpenRegular.
bool HostStaysInCurrentDirectory(const std::string& hostPath, const struct stat* seen = nullptr);

// Whether hostPath (or the file st describes) is a regular file that nobody
// may write: read-only, as Wine shows it to Windows programs. Windows does
// not replace a read-only file, whoever asks.
bool HostIsReadOnlyFile(const std::string& hostPath);
bool HostIsReadOnly(const struct stat& st);

// Gives the open file fd the owner, group and mode of the file st describes,
// as far as this process may. false when the mode could not be set.
bool HostTakeOwnership(int fd, const struct stat& st);
// The same for the file at hostPath (a link there is not followed), from
// the file at likePath when there is one. false with errno set.
bool HostTakeOwnershipOf(const std::string& hostPath, const std::string& likePath);

// Every name the primitives here make or remove is told to the watcher (the
// path mapping, which keeps track of the names in directories); the rest of
// the host tells it of its own with HostNameChanged. None by default.
using HostNameWatcher = void (*)(const std::string& hostPath, bool made);
void HostSetNameWatcher(HostNameWatcher watcher);
void HostNameChanged(const std::string& hostPath, bool made);
// unlink(hostPath), told to the watcher when it removed the name.
bool HostRemoveName(const std::string& hostPath);
// rename(from, to), told to the watcher when it moved the name.
bool HostRenameName(const std::string& from, const std::string& to);

// Temporary files are named by their stem (which holds their directory),
// then the mark of this process (three letters or digits, HostTemporaryMark)
// and three more, so that the next run can tell the temporaries of this one
// from any other file. The announcer is called with the directory of a
// temporary file before it is created, so that a record of it can be made
// first; the file is not created when it returns false. None by default.
using HostTemporaryAnnouncer = bool (*)(const std::string& directory);
void HostSetTemporaryAnnouncer(HostTemporaryAnnouncer announcer);
const std::string& HostTemporaryMark();
// Whether name, a bare file name, is one that HostCreateTemporary gives with
// mark: "~vs" (copies) or "." name "." (whole-file replacements) as the stem.
bool HostIsTemporaryName(const std::string& name, const std::string& mark);

// Creates a new, empty file named as above, announced first; it joins the
// temporaries being worked on. Returns the open descriptor (mode 0600) and
// its path, or -1.
int HostCreateTemporary(const std::string& stem, std::string* path);
// The temporaries being worked on, which a signal that ends the program
// removes (HostRemoveTemporaries, safe to call in a signal handler): a
// temporary leaves them when it is renamed or removed
// (HostForgetTemporary); HostSetCurrentTemporary(path) makes path the only
// one, or forgets them all when path is null.
// At most kHostMaxTemporaries are kept, more than a copy group holds.
const int kHostMaxTemporaries = 128;
bool HostForgetTemporary(const std::string& path);  // whether path was one
// Removes a temporary file that will not be renamed, and syncs its directory:
// the journal that names the directory goes at the end of the run, and a
// removal lost to a crash after that would leave the file for good.
bool HostRemoveTemporary(const std::string& path);
void HostSetCurrentTemporary(const char* path);
void HostRemoveTemporaries();

// Puts the data of the regular files at hostPaths (links in their places
// are not followed) on stable storage together: one syncfs for each file
// system they are on, which writes their data out at once where an fsync
// each would wait for the disk once per file. false with errno set.
bool HostSyncFileSystems(const std::vector<std::string>& hostPaths);

// Puts size bytes of data in the place of hostPath, whole or not at all,
// through the new temporary file temp, open for writing as fd: writes them,
// lets prepare do what the file needs before it takes the name (its owner,
// mode or attributes; false fails), syncs and closes it and renames it over
// host_path. The caller then syncs the directory. On failure temp is removed
// and hostPath is as it was. fd is closed in any case.
bool HostWriteInPlaceOf(int fd, const std::string& temp, const std::string& hostPath, const char* data, size_t size,
                        const std::function<bool(int fd)>& prepare);

// Replaces the file at hostPath by data, whole or not at all: writes a
// temporary file in the same directory, syncs it, renames it over hostPath
// and syncs the directory. A replaced file keeps its owner, group and mode; a
// new one takes those of likePath when given and existing, else mode 0644.
// On failure no temporary file is left and hostPath is as it was (unless
// only the final directory sync failed, after the rename).
bool HostReplaceFileWhole(const std::string& hostPath, const std::string& data,
                          const std::string& likePath = std::string());

// A registry store takes several bytes of memory for every byte of its file,
// in small allocations, all of it new to the process when a run starts.
// Where the memory of a virtual machine is costly to fault in page by page
// (a large store's faults took half of a run's processor time), huge pages
// fault it in 2 MiB at a time: the heap is grown once by want bytes and that
// part is marked for huge pages. For loads of 8 MiB and more; without
// transparent huge pages, or without glibc, this changes nothing.
void HostPrepareHeapFor(size_t want);

#endif
