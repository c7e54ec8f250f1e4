#include "tests/test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/setup_state.h"
#include "platform/platform.h"
#include "setupinfo/setup_text.h"
#include "wizard/batch/batch_frontend.h"

namespace {

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);
        if (DIR* dir = opendir(path.c_str())) {
            while (struct dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") RemoveTree(path + "/" + name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void Collect(const std::string& root, const std::string& relative, std::vector<std::string>* out) {
    DIR* dir = opendir((root + "/" + relative).c_str());
    if (!dir) return;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (lstat((root + "/" + rel).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            Collect(root, rel, out);
        } else {
            out->push_back(rel);
        }
    }
    closedir(dir);
}

// Runs f with the current directory set to dir.
template <typename F>
void InDirectory(const std::string& dir, F f) {
    char saved[4096];
    if (!getcwd(saved, sizeof saved)) std::abort();
    if (chdir(dir.c_str()) != 0) std::abort();
    f();
    if (chdir(saved) != 0) std::abort();
}

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vsetup-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) std::abort();
    char resolved[4096];
    path_ = realpath(name.data(), resolved) ? resolved : name.data();
}

TempDir::~TempDir() { RemoveTree(path_); }

void WriteFile(const std::string& path, const std::string& data) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string partial;
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListFiles(const std::string& root) {
    std::vector<std::string> files;
    Collect(root, "", &files);
    std::sort(files.begin(), files.end());
    return files;
}

std::string MakeSzdd(const std::string& data, long long claimed_size) {
    unsigned long long size = claimed_size < 0 ? data.size() : static_cast<unsigned long long>(claimed_size);
    std::string out("SZDD\x88\xF0\x27\x33", 8);
    out += 'A';
    out += '\0';
    for (int i = 0; i < 4; ++i) out += static_cast<char>((size >> (8 * i)) & 0xFF);
    // Every control byte announces eight literal bytes.
    for (size_t i = 0; i < data.size(); i += 8) {
        out += '\xFF';
        out += data.substr(i, 8);
    }
    return out;
}

std::vector<std::string> RunResult::Events(const std::string& kind) const {
    std::vector<std::string> out;
    std::string tag = "{\"event\":\"" + kind + "\"";
    for (const std::string& line : lines) {
        if (line.compare(0, tag.size(), tag) == 0) out.push_back(line);
    }
    return out;
}

std::vector<std::string> RunResult::MessageTexts() const {
    std::vector<std::string> out;
    for (const std::string& line : Events("message")) {
        size_t start = line.find("\"text\":\"") + 8;
        size_t end = line.find("\",\"buttons\"");
        out.push_back(line.substr(start, end - start));
    }
    return out;
}

RunResult RunInProcess(const std::string& disk_dir, const std::string& prefix, const std::string& answers) {
    RunResult result;
    setenv("VSETUP_PREFIX", prefix.c_str(), 1);
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    InDirectory(disk_dir, [&] {
        if (!PlatStartup()) {
            result.exitCode = 1;
            return;
        }
        g_setup = SetupState{};
        ReleaseSetupText();
        InitSetupState();
        RunBatchWizard(answers.c_str(), out);
        PlatShutdown();
    });
    std::fclose(out);
    result.lines = SplitLines(std::string(text, size));
    std::free(text);
    return result;
}

RunResult RunProgram(const std::string& disk_dir, const std::string& prefix, const std::string& answers,
                     const std::vector<std::string>& extra_env, const std::function<void()>& in_child) {
    RunResult result;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (chdir(disk_dir.c_str()) != 0) _exit(127);
        setenv("VSETUP_PREFIX", prefix.c_str(), 1);
        setenv("VSETUP_UI", "batch", 1);
        setenv("VSETUP_ANSWERS", answers.c_str(), 1);
        for (const std::string& setting : extra_env) putenv(strdup(setting.c_str()));
        if (in_child) in_child();
        execl(VSETUP_BINARY, "vsetup", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.lines = SplitLines(text);
    return result;
}
