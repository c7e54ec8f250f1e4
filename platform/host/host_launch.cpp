// PlatLaunch on the host: the command goes to Wine, with the prefix as its
// WINEPREFIX.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/host/disk_image.h"
#include "platform/host/frontend.h"
#include "platform/host/host_paths.h"
#include "platform/host/host_session.h"
#include "platform/platform.h"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's

int PlatLaunch(const char* commandLine) {
    // A disk image's Windows runs only in its virtual machine; Wine on the
    // staging prefix would only fill it with a Wine tree of its own.
    if (HostImageActive()) return 0;
    // The Windows tree has no programs of its own to run on the host: the
    // command is handed to Wine with the prefix as its WINEPREFIX, which
    // starts the Display control panel of the tree being set up. Only a
    // prefix that is a Wine prefix already (it holds Wine's system.reg) is
    // handed over: Wine would turn any other into one of its own.
    struct stat st;
    if (lstat((HostPrefix() + "/system.reg").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (PlatFrontEnd* frontEnd = HostFrontEnd()) frontEnd->Launched(commandLine, false);
        return 0;
    }
    std::vector<std::string> words{"wine"};
    for (const char* p = commandLine; *p;) {
        while (*p == ' ') ++p;
        const char* end = p;
        while (*end && *end != ' ') ++end;
        if (end > p) words.emplace_back(p, end);
        p = end;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "WINEPREFIX=", 11) != 0) environment.emplace_back(*e);
    }
    environment.push_back("WINEPREFIX=" + HostPrefix());
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The wizard's transcript is its standard output; the panel keeps out of
    // it, reads nothing of the wizard's, and lives on in its own session.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    // Wine works in the tree while the installer goes on.
    HostForgetDirectories();
    pid_t pid;
    int started = posix_spawnp(&pid, "wine", &actions, &attributes, argv.data(), envp.data()) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (PlatFrontEnd* frontEnd = HostFrontEnd()) frontEnd->Launched(commandLine, started != 0);
    return started;
}
