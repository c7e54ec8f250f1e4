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

bool HostMtools::Run(std::vector<std::string> args, std::string* output, bool quiet, int* startError) const {
    if (startError) *startError = 0;
    args.insert(args.begin() + 1, {"-i", image_});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const char* path = std::getenv("PATH");
    std::string pathVar = std::string("PATH=") + (path ? path : "/usr/bin:/bin");
    std::string envs[] = {pathVar, "MTOOLS_SKIP_CHECK=1", "MTOOLS_NO_VFAT=0", "LC_ALL=C"};
    char* envp[] = {&envs[0][0], &envs[1][0], &envs[2][0], &envs[3][0], nullptr};

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fd_, kHostMtoolsFd);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (spawned != 0) {
        if (startError) *startError = spawned;
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
