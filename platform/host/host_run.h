// What a run keeps in the prefix's top directory, beside registry.reg, while
// it installs: a hold on the prefix, so that runs on one prefix take turns,
// and a journal, so that the next run can clean up after one that was
// stopped. Nothing of it is inside drive_c, the Windows disk.
//
// The hold is a lock on the prefix directory itself (flock), and one on the
// Windows directory of the tree it sets up, which other prefixes may reach:
// the system lets them go when the process ends, however it ends, so a
// crashed run cannot leave them stuck, and they leave no file behind.
//
// The journal, "vsetup.journal", holds one line per entry, each on stable
// storage before what it announces happens:
//   registry <offset>        the store's appends to registry.reg begin there
//   temps <mark> <directory> temporary files named with mark
//                            (HostTemporaryMark) are made in directory; one
//                            entry per directory and run
// (Journals of earlier versions may also hold "temp <path>", one temporary
// file.) A run that ends normally syncs the directories of its "temps"
// entries, so that no temporary it removed can come back after a crash, and
// then removes the journal.
#ifndef VSETUP_HOST_RUN_H
#define VSETUP_HOST_RUN_H

#include <cstddef>
#include <functional>
#include <string>

// What a stopped run left in the journal.
struct HostRunLeft {
    static const size_t kNone = static_cast<size_t>(-1);
    size_t registryFrom = kNone;  // where its registry appends began
    int temporariesRemoved = 0;
};

// Takes the hold on prefix (a directory), waiting while another run holds
// it; waiting, when it must, is announced on stderr first. Then reads the
// journal of a stopped run: removes the temporary files it names that are
// still there (only regular files with the names this program gives, inside
// the prefix; their directories synced afterwards) and reports where its registry appends began. The old journal is
// kept until HostRunStartJournal. false with a reason on failure.
// beforeWaiting, when given, is called first when the run has to wait.
bool HostRunHold(const std::string& prefix, HostRunLeft* left, std::string* error,
                 const std::function<void()>& beforeWaiting = nullptr);
// Holds the Windows tree as well, by its directory (the one that holds
// SYSTEM.DAT), once the prefix is held: prefixes whose drive C: leads to one
// tree take turns, whatever path reaches it. Waits as HostRunHold does;
// HostRunRelease lets it go. false with a reason when it cannot be held.
bool HostRunHoldTree(const std::string& directory, std::string* error,
                     const std::function<void()>& beforeWaiting = nullptr);
// Starts a new journal (the old one's facts are taken over by the caller).
// registryFrom is written as the first entry when it is not kNone. false,
// with errno set, when the journal cannot be made.
bool HostRunStartJournal(size_t registryFrom);
// Appends an entry and syncs it. false when it could not be recorded.
bool HostRunNote(const char* kind, const std::string& value);
// The "temps" entry of directory, once per run (the temporary announcer).
bool HostRunNoteTemporaries(const std::string& directory);
// Removes the journal and lets the hold go.
void HostRunRelease();
// From now on SIGINT, SIGTERM and SIGHUP remove the temporary files being
// worked on (HostRemoveTemporaries) and end the program with 128 + the
// signal.
void HostRunCatchSignals();
// Whether this process holds its prefix.
bool HostRunHolding();

#endif
