// The yardstick of the installer's own runs, and the least an installation
// of a disk's files can do. Each file is expanded in memory by the
// project's decoder, then, by default, put in place the way a careful copier
// puts each file on its own: a new temporary file beside the destination,
// written whole and fsynced, renamed over the destination, and the directory
// fsynced. With --one-sync each file is written straight under its name and
// one syncfs at the end puts them all on the disk: the same bytes, with the
// least syncing there is. Nothing else: no setup.dat, no name mapping, no
// registry, no progress.
//
//   vsetup_lower_bound [--one-sync] LIST
//
// LIST holds one "source<TAB>directory<TAB>name" line per file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/host/lz_expand.h"

namespace {

bool ReadAll(const std::string& path, std::vector<unsigned char>* data) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    data->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < data->size()) {
        ssize_t n = read(fd, data->data() + done, data->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done == data->size();
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool MakeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "vsetup_lower_bound: %s\n", what.c_str());
    return 1;
}

// Writes the file straight under its name, unsynced.
bool WriteInPlace(const std::string& path, const std::vector<unsigned char>& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data.data(), data.size());
    return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool oneSync = argc == 3 && std::string(argv[1]) == "--one-sync";
    if (argc != 2 && !oneSync) return Fail("usage: vsetup_lower_bound [--one-sync] LIST");
    const char* listPath = argv[argc - 1];
    std::vector<unsigned char> list;
    if (!ReadAll(listPath, &list)) return Fail(std::string("cannot read ") + listPath);

    std::map<std::string, int> directories;  // each directory, open for its syncs
    std::vector<unsigned char> packed, expanded;
    std::string text(list.begin(), list.end());
    int count = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) continue;
        std::string source = line.substr(0, tab1);
        std::string dir = line.substr(tab1 + 1, tab2 - tab1 - 1);
        std::string name = line.substr(tab2 + 1);

        auto it = directories.find(dir);
        if (it == directories.end()) {
            if (!MakeDirs(dir)) return Fail("cannot create " + dir);
            int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) return Fail("cannot open " + dir);
            it = directories.emplace(dir, fd).first;
        }

        if (!ReadAll(source, &packed)) return Fail("cannot read " + source);
        if (HostLzExpandMemory(packed.data(), packed.size(), &expanded) < 0) return Fail("cannot expand " + source);
        if (oneSync) {
            if (!WriteInPlace(dir + "/" + name, expanded)) return Fail("cannot write " + dir + "/" + name);
            continue;
        }

        std::string temporary = dir + "/~lb" + std::to_string(count++);
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return Fail("cannot create " + temporary);
        bool ok = WriteAll(fd, expanded.data(), expanded.size()) && fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        if (!ok || rename(temporary.c_str(), (dir + "/" + name).c_str()) != 0 || fsync(it->second) != 0)
            return Fail("cannot install " + dir + "/" + name);
    }
    if (oneSync && !directories.empty() && syncfs(directories.begin()->second) != 0) return Fail("cannot sync");
    for (auto& entry : directories) close(entry.second);
    return 0;
}
