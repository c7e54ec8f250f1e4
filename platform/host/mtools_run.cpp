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

bool HostStartTool(std::vector<std::string> args, const HostToolOptions& options, bool withInput, HostTool* tool,
                   int* startError) {
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
    int inputFds[2] = {-1, -1};
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    if (withInput && pipe2(inputFds, O_CLOEXEC) != 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    if (withInput) posix_spawn_file_actions_adddup2(&actions, inputFds[0], 0);
    if (options.inheritFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.inheritFd, kHostMtoolsFd);
    if (options.quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (options.mergeErrors) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    if (!options.dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    int spawned = posix_spawnp(&tool->pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    if (withInput) close(inputFds[0]);
    tool->output = pipeFds[0];
    tool->input = inputFds[1];
    if (spawned == 0) return true;
    *startError = spawned;
    HostFinishTool(tool, nullptr);
    return false;
}

bool HostFinishTool(HostTool* tool, std::string* output) {
    if (tool->input >= 0) close(tool->input);
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(tool->output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(tool->output);
    int status = 0;
    while (tool->pid > 0 && waitpid(tool->pid, &status, 0) < 0 && errno == EINTR) {
    }
    bool exited = tool->pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    *tool = HostTool();
    if (output) *output += text;
    return exited;
}

bool HostRunTool(std::vector<std::string> args, const HostToolOptions& options, std::string* output, int* startError) {
    HostTool tool;
    if (output) output->clear();
    return HostStartTool(std::move(args), options, false, &tool, startError) && HostFinishTool(&tool, output);
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
