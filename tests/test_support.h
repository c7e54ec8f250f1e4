// Shared fixtures of the tests: scratch directories, files, and whole
// installation runs through the vsetup program.
#ifndef VSETUP_TESTS_TEST_SUPPORT_H
#define VSETUP_TESTS_TEST_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Every file below root, as paths relative to it, sorted.
std::vector<std::string> ListFiles(const std::string& root);
// The lines of text, without their line feeds.
std::vector<std::string> SplitLines(const std::string& text);

struct RunResult {
    int exitCode = 0;
    std::vector<std::string> lines;  // the transcript
    // The transcript lines of one kind of event, e.g. "message".
    std::vector<std::string> Events(const std::string& kind) const;
    // Just the texts of the message boxes, in order.
    std::vector<std::string> MessageTexts() const;
};

// Runs the vsetup program with VSETUP_UI=batch from diskDir into prefix.
// extraEnv holds further NAME=VALUE settings.
// inChild, when given, runs in the child after the environment is set and
// before the program starts (limits, user, further settings).
RunResult RunProgram(const std::string& diskDir, const std::string& prefix, const std::string& answers = "",
                     const std::vector<std::string>& extraEnv = {}, const std::function<void()>& inChild = nullptr);

#endif
