#include "tests/test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>


namespace fs = std::filesystem;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vsetup-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = fs::canonical(pattern).string();
}

TempDir::~TempDir() {
    // Directories a test made read-only are opened up first.
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(path_, error))
        if (entry.is_directory(error) && !entry.is_symlink(error)) fs::permissions(entry, fs::perms::owner_all, error);
    fs::remove_all(path_, error);
}

void WriteFile(const std::string& path, const std::string& data) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
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
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

std::vector<std::string> ListFiles(const std::string& root) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(root, error))
        if (!fs::is_directory(entry.symlink_status(error))) files.push_back(fs::relative(entry.path(), root).string());
    std::sort(files.begin(), files.end());
    return files;
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

RunResult RunProgram(const std::string& diskDir, const std::string& prefix, const std::string& answers,
                     const std::vector<std::string>& extraEnv, const std::function<void()>& inChild) {
    RunResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (chdir(diskDir.c_str()) != 0) _exit(127);
        setenv("VSETUP_PREFIX", prefix.c_str(), 1);
        setenv("VSETUP_UI", "batch", 1);
        setenv("VSETUP_ANSWERS", answers.c_str(), 1);
        for (const std::string& setting : extraEnv) putenv(strdup(setting.c_str()));
        if (inChild) inChild();
        execl(VSETUP_BINARY, "vsetup", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.lines = SplitLines(text);
    return result;
}
