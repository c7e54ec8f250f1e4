#include "tests/robust/robust_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/host/host_ansi.h"
#include "platform/host/registry_store.h"

namespace {

const int kNobody = 65534;

// The names in a directory, without "." and "..".
std::vector<std::string> EntryNames(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

void Snapshot(const std::string& root, const std::string& relative, std::map<std::string, std::string>* out) {
    std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target);
        (*out)[relative] = "link -> " + std::string(target, n < 0 ? 0 : static_cast<size_t>(n));
    } else if (S_ISDIR(st.st_mode)) {
        (*out)[relative] = std::string("dir ") + mode;
        for (const std::string& name : EntryNames(path))
            Snapshot(root, relative.empty() ? name : relative + "/" + name, out);
    } else if (S_ISREG(st.st_mode)) {
        (*out)[relative] = std::string("file ") + mode + " " + ReadFile(path);
    } else {
        (*out)[relative] = std::string("other ") + mode;
    }
}

void Chown(const std::string& path, int uid) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (lchown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) std::abort();
    if (!S_ISDIR(st.st_mode)) return;
    for (const std::string& name : EntryNames(path)) Chown(path + "/" + name, uid);
}

// A quoted REGEDIT4 name at text[*pos] (the opening quote), unescaped.
std::string Unquote(const std::string& text, size_t* pos) {
    std::string out;
    size_t i = *pos + 1;
    while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        out += text[i++];
    }
    *pos = i + 1;
    return out;
}

}  // namespace

int UnprivilegedUid() { return geteuid() == 0 ? kNobody : -1; }

void GiveToUnprivileged(const std::string& path) {
    if (UnprivilegedUid() >= 0) Chown(path, UnprivilegedUid());
}

namespace {

// A copy of the program that any user can reach: the checkout, and with it
// the build tree, may lie in a directory other users cannot enter.
const std::string& ReachableBinary() {
    static TempDir dir;  // kept for the whole test run
    static std::string path;
    if (path.empty()) {
        chmod(dir.path().c_str(), 0755);
        path = dir / "vsetup";
        WriteFile(path, ReadFile(VSETUP_BINARY));
        chmod(path.c_str(), 0755);
    }
    return path;
}

}  // namespace

RunResult RunVsetup(const std::string& disk_dir, const std::string& prefix, const ChildOptions& options) {
    const std::string binary = options.unprivileged && UnprivilegedUid() >= 0 ? ReachableBinary() : "";
    RunResult result = RunProgram(disk_dir, prefix, options.answers, options.env, [&options, &binary] {
        if (options.fileSizeLimit >= 0) {
            signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        if (options.unprivileged && UnprivilegedUid() >= 0) {
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
        }
        if (!options.preload.empty()) {
            setenv("LD_PRELOAD", options.preload.c_str(), 1);
            // A sanitized program wants its runtime loaded first; the shim
            // comes before it and only passes calls on.
            const char* asan = std::getenv("ASAN_OPTIONS");
            std::string value =
                std::string(asan && *asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
            setenv("ASAN_OPTIONS", value.c_str(), 1);
        }
        if (!binary.empty()) {
            execl(binary.c_str(), "vsetup", static_cast<char*>(nullptr));
            _exit(127);
        }
    });
    if (options.expectedExit >= 0) {
        EXPECT_EQ(options.expectedExit, result.exitCode) << "vsetup from " << disk_dir;
    }
    return result;
}

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
    std::map<std::string, std::string> out;
    Snapshot(root, "", &out);
    return out;
}

RegEntries RegistryFromText(const std::string& text) {
    RegistryStore store;
    store.LoadText(text);
    // Serialize gives one canonical section per key; its hex lists are
    // joined again here.
    std::vector<std::string> lines;
    for (std::string line : SplitLines(store.Serialize())) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!lines.empty() && !lines.back().empty() && lines.back().back() == '\\') {
            lines.back().pop_back();
            lines.back() += line.substr(line.find_first_not_of(' '));
        } else {
            lines.push_back(line);
        }
    }
    RegEntries entries;
    std::map<std::string, std::string>* key = nullptr;
    for (const std::string& line : lines) {
        if (line.empty() || line == "REGEDIT4") continue;
        if (line[0] == '[') {
            key = &entries[HostLower(line.substr(1, line.size() - 2))];
        } else if (key) {
            size_t pos = 0;
            std::string name = line[0] == '@' ? (pos = 1, std::string("@")) : HostLower(Unquote(line, &pos));
            (*key)[name] = line.substr(pos + 1);
        }
    }
    return entries;
}

bool LoadRegistry(const std::string& path, RegEntries* entries) {
    RegistryStore store;
    std::string error;
    if (!store.Open(path, &error)) return false;
    *entries = RegistryFromText(store.Serialize());
    return true;
}

std::string MissingEntries(const RegEntries& part, const RegEntries& whole) {
    std::string missing;
    for (const auto& key : part) {
        auto found = whole.find(key.first);
        if (found == whole.end()) {
            missing += "key [" + key.first + "]\n";
            continue;
        }
        for (const auto& value : key.second) {
            auto other = found->second.find(value.first);
            if (other == found->second.end() || other->second != value.second)
                missing += "[" + key.first + "] " + value.first + "=" + value.second + "\n";
        }
    }
    return missing;
}

void CopyTree(const std::string& from, const std::string& to) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) std::abort();
    if (S_ISDIR(st.st_mode)) {
        mkdir(to.c_str(), 0755);
        for (const std::string& file : ListFiles(from)) WriteFile(to + "/" + file, ReadFile(from + "/" + file));
    } else {
        WriteFile(to, ReadFile(from));
    }
}
