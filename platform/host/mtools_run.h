// Running mtools on a FAT volume of an image file that this process holds
// open. Every command gets the same clean environment (so that its output
// reads the same in every locale and no configuration of the user's changes
// it), reaches the image through the inherited descriptor 3, never by a
// name (mtools cuts a path at its first "@@", and the image's own path may
// hold one), and runs in a process group of its own (so that an interrupt
// of the terminal does not stop it halfway through a change of the file
// system).
#ifndef VSETUP_HOST_MTOOLS_RUN_H
#define VSETUP_HOST_MTOOLS_RUN_H

#include <sys/types.h>

#include <string>
#include <vector>

// The descriptor a command finds the image on. An image held open on this
// very number is handed over as it is, so it must not be close-on-exec.
const int kHostMtoolsFd = 3;

// How HostRunTool runs a command.
struct HostToolOptions {
    std::vector<std::string> env;  // its whole environment, "NAME=VALUE", PATH added
    int inheritFd = -1;            // handed to it as descriptor kHostMtoolsFd
    bool quiet = false;            // its standard error goes nowhere
    bool mergeErrors = false;      // its standard error goes into *output
    std::string dir;               // its working directory, "" for ours
};

// Runs args[0], found on PATH, with args, in a process group of its own (an
// interrupt of the terminal, or the end of this process, does not stop it
// halfway through a change). true when it exits 0. *output receives its
// standard output; *startError the errno of a command that could not be
// started, else 0.
bool HostRunTool(std::vector<std::string> args, const HostToolOptions& options, std::string* output, int* startError);

// A command HostStartTool started: its process, the read end of its
// standard output and the write end of its standard input (or -1).
struct HostTool {
    pid_t pid = -1;
    int output = -1;
    int input = -1;
};
// Starts a command as HostRunTool runs it, with a pipe to its standard
// input when withInput. false, with *startError, when it cannot.
bool HostStartTool(std::vector<std::string> args, const HostToolOptions& options, bool withInput, HostTool* tool,
                   int* startError);
// Closes its standard input, appends the rest of its output to *output and
// waits for it. true when it exited 0.
bool HostFinishTool(HostTool* tool, std::string* output);

class HostMtools {
public:
    HostMtools() = default;
    // The volume at offset bytes into the image open on fd; offset < 0
    // gives mtools the image without an offset.
    // path names the image only on a system without /proc.
    HostMtools(int fd, const std::string& path, long long offset);

    // True when mtools gets the image by its path, there being no /proc.
    bool NamesImageByPath() const { return byPath_; }

    // Runs the command args[0] ("mcopy", "mdir", ...) with "-i IMAGE" after
    // its name, then the rest of args. true when it exits 0. *output
    // receives its standard output; quiet sends its standard error nowhere.
    // *startError receives the errno of a command that could not be
    // started, else 0.
    bool Run(std::vector<std::string> args, std::string* output = nullptr, bool quiet = false,
             int* startError = nullptr) const;

private:
    int fd_ = -1;
    bool byPath_ = false;
    std::string image_;  // as -i gives it: "/proc/self/fd/3@@32256"
};

#endif
