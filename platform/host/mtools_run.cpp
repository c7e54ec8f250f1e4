#include "platform/host/mtools_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

HostMtools::HostMtools(int fd, const std::string& path, long long offset) : fd_(fd) {
    byPath_ = access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0;
    image_ = byPath_ ? path : "/proc/self/fd/" + std::to_string(kHostMtoolsFd);
    if (offset >= 0) image_ += "@@" + std::to_string(offset);
}

bool HostRunTool(std::vector<std::string> args, const HostToolOptions& options, std::string* output, int* startError) {
    *startError = 0;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const char* path = std::getenv("PATH");
    std::vector<std::string> envs = {std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    envs.insert(envs.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    for (std::string& env : envs) envp.push_back(&env[0]);
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    if (options.inheritFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.inheritFd, kHostMtoolsFd);
    if (options.quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (options.mergeErrors) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    if (!options.dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (spawned != 0) {
        *startError = spawned;
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool HostMtools::Run(std::vector<std::string> args, std::string* output, bool quiet, int* startError) const {
    args.insert(args.begin() + 1, {"-i", image_});
    HostToolOptions options;
    options.env = {"MTOOLS_SKIP_CHECK=1", "MTOOLS_NO_VFAT=0", "LC_ALL=C"};
    options.inheritFd = fd_;
    options.quiet = quiet;
    int started = 0;
    bool ok = HostRunTool(std::move(args), options, output, &started);
    if (startError) *startError = started;
    return ok;
}
