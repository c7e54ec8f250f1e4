// What an image run reads of an image that QEMU writes, and which clusters
// mtools finds a path in (image_state.h).
#include <algorithm>
#include <cstdlib>
#include <set>

#include "platform/host/image_state.h"

namespace host_image {

bool ClusterRanges(const std::vector<std::string>& paths, std::vector<HostDiskRange>* ranges) {
    std::vector<std::string> args = {"mshowfat"};
    for (const std::string& path : paths) args.push_back("::/" + path);
    std::string chains;
    if (args.size() > 1 && !Mtools(args, &chains)) return false;
    // "::/WINDOWS <5-7> <12>": the clusters of each, run by run.
    for (size_t at = chains.find('<'); at != std::string::npos; at = chains.find('<', at + 1)) {
        char* end = nullptr;
        long long first = std::strtoll(chains.c_str() + at + 1, &end, 10);
        long long last = *end == '-' ? std::strtoll(end + 1, &end, 10) : first;
        if (*end != '>' || first < 2 || last < first) return false;
        ranges->emplace_back(g_image.offset + g_image.layout.dataStart + (first - 2) * g_image.layout.clusterSize,
                             (last - first + 1) * g_image.layout.clusterSize);
    }
    return true;
}

bool Fetch(const std::vector<HostDiskRange>& ranges, std::string* error) {
    std::string why;
    if (!g_image.qemu.IsOpen() || g_image.qemu.Fetch(ranges, &why)) return true;
    *error = "the disk image " + g_image.image + " " + why;
    return false;
}

bool FetchDirectories(std::string* error) {
    std::set<std::string> done;
    for (;;) {
        std::string names;
        std::vector<std::string> fresh;
        if (!Mtools({"mdir", "-/", "-b", "-a", "::/"}, &names, true)) return true;  // an empty partition
        // "::/WINDOWS/", one to a line, among the files.
        for (size_t at = 0, end; at < names.size(); at = end + 1) {
            end = std::min(names.find('\n', at), names.size());
            const std::string line = names.substr(at, end - at);
            if (line.size() > 4 && line.compare(0, 3, "::/") == 0 && line.back() == '/' && done.insert(line).second)
                fresh.push_back(line.substr(3, line.size() - 4));
        }
        std::vector<HostDiskRange> ranges;
        if (fresh.empty()) return true;
        if (!ClusterRanges(fresh, &ranges)) {
            *error = "the disk image " + g_image.image + " has a directory that mtools cannot read";
            return false;
        }
        if (!Fetch(ranges, error)) return false;
    }
}

}  // namespace host_image
