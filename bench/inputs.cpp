// The expansion inputs, made the same way on every run: real binary content
// (the system's shared libraries, taken in name order and joined end to end)
// cut into one large file and a set of files from 1 KiB to the largest size,
// then compressed with mscompress. mscompress is slow (it reads and writes a
// byte at a time), so what was made is kept in the data directory and made
// again only when the content it came from has changed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench/bench.h"

namespace {

const uint64_t kKiB = 1024;
const uint64_t kMiB = 1024 * 1024;

// Where the content comes from: the first of these that holds shared
// libraries.
const char* const kContentDirs[] = {"/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib", "/usr/bin"};

struct Shape {
    uint64_t bigBytes;
    int fileCount;
    uint64_t smallest, largest, total;
};

Shape ShapeFor(bool quick) {
    if (quick) return Shape{2 * kMiB, 30, 1 * kKiB, 256 * kKiB, 2 * kMiB};
    return Shape{64 * kMiB, 300, 1 * kKiB, 1 * kMiB, 24 * kMiB};
}

// The content files: regular files of at least 64 KiB, in name order.
std::vector<std::pair<std::string, uint64_t>> ContentFiles(std::string* dirUsed) {
    for (const char* dir : kContentDirs) {
        DIR* handle = opendir(dir);
        if (!handle) continue;
        std::vector<std::pair<std::string, uint64_t>> files;
        uint64_t total = 0;
        while (struct dirent* entry = readdir(handle)) {
            std::string path = std::string(dir) + "/" + entry->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 65536) continue;
            files.emplace_back(path, static_cast<uint64_t>(st.st_size));
            total += static_cast<uint64_t>(st.st_size);
        }
        closedir(handle);
        if (total < 16 * kMiB) continue;
        std::sort(files.begin(), files.end());
        *dirUsed = dir;
        return files;
    }
    throw std::runtime_error("no directory of shared libraries to take content from");
}

// The content as one endless stream: the files joined, starting over at the
// end.
class Content {
public:
    explicit Content(std::vector<std::pair<std::string, uint64_t>> files) : files_(std::move(files)) {}

    std::string Take(uint64_t size) {
        std::string out;
        out.reserve(size);
        while (out.size() < size) {
            if (offset_ >= current_.size()) {
                current_ = ReadWhole(files_[next_].first);
                next_ = (next_ + 1) % files_.size();
                offset_ = 0;
                continue;
            }
            size_t n = std::min<uint64_t>(size - out.size(), current_.size() - offset_);
            out.append(current_, offset_, n);
            offset_ += n;
        }
        return out;
    }

private:
    std::vector<std::pair<std::string, uint64_t>> files_;
    size_t next_ = 0;
    std::string current_;
    size_t offset_ = 0;
};

// count sizes from smallest to largest adding up to total: smallest times
// (largest / smallest) to the power x^p for x evenly spaced over [0, 1], with
// p chosen to meet the total; then put in a fixed pseudo-random order.
std::vector<uint64_t> FileSizes(const Shape& shape) {
    int n = shape.fileCount;
    double ratio = static_cast<double>(shape.largest) / static_cast<double>(shape.smallest);
    auto sizesFor = [&](double p) {
        std::vector<uint64_t> sizes;
        for (int i = 0; i < n; ++i) {
            double x = static_cast<double>(i) / (n - 1);
            sizes.push_back(static_cast<uint64_t>(std::llround(shape.smallest * std::pow(ratio, std::pow(x, p)))));
        }
        return sizes;
    };
    auto sum = [](const std::vector<uint64_t>& sizes) {
        uint64_t total = 0;
        for (uint64_t s : sizes) total += s;
        return total;
    };
    double low = 0.01, high = 100;
    for (int i = 0; i < 200; ++i) {
        double p = (low + high) / 2;
        (sum(sizesFor(p)) > shape.total ? low : high) = p;
    }
    std::vector<uint64_t> sizes = sizesFor(high);
    // Rounding leaves a few bytes over or under; the middle files take them.
    for (int i = 1; sum(sizes) != shape.total; i = i % (n - 2) + 1) {
        if (sum(sizes) < shape.total && sizes[i] < shape.largest)
            ++sizes[i];
        else if (sum(sizes) > shape.total && sizes[i] > shape.smallest)
            --sizes[i];
    }
    uint32_t state = 20240601;
    for (int i = n - 1; i > 0; --i) {
        state = state * 1664525u + 1013904223u;
        std::swap(sizes[i], sizes[(state >> 8) % static_cast<uint32_t>(i + 1)]);
    }
    return sizes;
}

std::string Number(uint64_t value) { return std::to_string(value); }

// A driver disk's setup.dat copying the given files, half to the Windows
// directory and half to the System directory, with the example driver's
// registry list.
std::string SetupDat(const std::vector<std::string>& packedNames, uint64_t expandedBytes) {
    std::string text =
        "[Product]\r\nProductName=Vorel Velocity 3D\r\n\r\n"
        "[DiskSpace]\r\nSizeInKB=" +
        Number((expandedBytes + 999) / 1000) +
        "\r\n\r\n"
        "[Source Media Descriptions]\r\n1=Vorel benchmark disk\r\n\r\n"
        "[Extra]\r\nPCIBUS=VEN_1A2B&DEV_0C0D&SUBSYS_00000000&REV_01\\BUS_00&DEV_0F&FUNC_00\r\n"
        "ConfigFlags=00000000\r\nCHIPID=0312\r\n\r\n";
    size_t half = packedNames.size() / 2;
    text += "[WindowsDir]\r\n";
    for (size_t i = 0; i < half; ++i) text += "1," + packedNames[i] + "\r\n";
    text += "\r\n[SystemDir]\r\n";
    for (size_t i = half; i < packedNames.size(); ++i) text += "1," + packedNames[i] + "\r\n";
    text +=
        "\r\n[Prev.DelReg]\r\nHKR,,Ver\r\nHKR,,DevLoader\r\nHKR,DEFAULT\r\nHKR,MODES\r\n\r\n"
        "[Driver.AddReg]\r\n"
        "HKR,,Ver,,4.0\r\nHKR,,DevLoader,,*vdd\r\nHKR,DEFAULT,Mode,,\"8,640,480\"\r\n"
        "HKR,DEFAULT,drv,,vorel.drv\r\nHKR,DEFAULT,vdd,,*vdd\r\nHKR,DEFAULT,minivdd,,vorel.vxd\r\n"
        "HKR,DEFAULT,RefreshRate,,0\r\nHKR,DEFAULT,ExtDispDll,,vorelui.dll\r\n"
        "HKR,\"MODES\\8\\640,480\"\r\nHKR,\"MODES\\8\\800,600\"\r\nHKR,\"MODES\\8\\1024,768\"\r\n"
        "HKR,\"MODES\\16\\640,480\"\r\nHKR,\"MODES\\16\\800,600\"\r\nHKR,\"MODES\\24\\640,480\"\r\n"
        "HKLM,Software\\Vorel\\Velocity,Version,,1.0\r\n"
        "HKCR,Vorel.DisplayProfile,,,\"Vorel Display Profile\"\r\n";
    return text;
}

// Compresses every file of plainPaths with mscompress, two at a time, and
// moves the results to packed_paths.
void Compress(const std::vector<std::string>& plainPaths, const std::vector<std::string>& packedPaths,
              const std::string& listPath) {
    std::string list;
    for (const std::string& path : plainPaths) list += path + '\0';
    WriteWhole(listPath, list);
    Command command;
    command.argv = {"sh", "-c", "xargs -0 -n 1 -P 2 mscompress < \"$0\"", listPath};
    command.stdoutPath = "-";
    if (RunProcess(command).status != 0) throw std::runtime_error("mscompress failed");
    for (size_t i = 0; i < plainPaths.size(); ++i) {
        if (std::rename((plainPaths[i] + "_").c_str(), packedPaths[i].c_str()) != 0)
            throw std::runtime_error("mscompress left no " + plainPaths[i] + "_");
    }
}

}  // namespace

Inputs PrepareInputs(const Options& options, Report* report) {
    if (!HaveProgram("mscompress")) throw std::runtime_error("mscompress is not installed");
    Shape shape = ShapeFor(options.quick);
    std::string contentDir;
    std::vector<std::pair<std::string, uint64_t>> content = ContentFiles(&contentDir);
    std::vector<uint64_t> sizes = FileSizes(shape);

    // What the inputs are made of: when it is what the kept inputs were made
    // of, they are used again.
    std::string recipe = "content " + contentDir + "\n";
    uint64_t needed = shape.bigBytes + shape.total;
    for (const auto& file : content) {
        recipe += file.first + " " + Number(file.second) + "\n";
        if (needed <= file.second) break;
        needed -= file.second;
    }
    recipe += "big " + Number(shape.bigBytes) + "\nfiles";
    for (uint64_t size : sizes) recipe += " " + Number(size);
    recipe += "\n";

    Inputs inputs;
    const std::string plainDir = options.dataDir + "/plain";
    const std::string packedDir = options.dataDir + "/packed";
    inputs.disk = options.dataDir + "/disk";
    inputs.oneDisk = options.dataDir + "/disk1";
    inputs.big.name = options.quick ? "2 MiB file" : "64 MiB file";
    inputs.big.plain = {plainDir + "/big.bin"};
    inputs.big.packed = {packedDir + "/big.bi_"};
    inputs.big.names = {"big.bin"};
    inputs.big.bytes = shape.bigBytes;
    inputs.files.name = Number(sizes.size()) + " files";
    std::vector<std::string> packedNames;
    for (size_t i = 0; i < sizes.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03zu.dll", i);
        packedNames.push_back(std::string(name, std::strlen(name) - 1) + "_");
        inputs.files.names.push_back(name);
        inputs.files.plain.push_back(plainDir + "/" + name);
        inputs.files.packed.push_back(inputs.disk + "/" + packedNames.back());
        inputs.files.bytes += sizes[i];
    }

    const std::string recipePath = options.dataDir + "/recipe.txt";
    bool fresh = Exists(recipePath) && ReadWhole(recipePath) == recipe;
    for (const InputSet* set : {&inputs.big, &inputs.files})
        for (size_t i = 0; fresh && i < set->plain.size(); ++i) fresh = Exists(set->plain[i]) && Exists(set->packed[i]);
    if (!fresh) {
        std::fprintf(stderr, "Making the inputs in %s (mscompress takes a while)...\n", options.dataDir.c_str());
        RemoveTree(options.dataDir);
        for (const std::string& dir : {plainDir, packedDir, inputs.disk}) MakeDirs(dir);
        Content stream(content);
        WriteWhole(inputs.big.plain[0], stream.Take(shape.bigBytes));
        for (size_t i = 0; i < sizes.size(); ++i) WriteWhole(inputs.files.plain[i], stream.Take(sizes[i]));
        std::vector<std::string> plain = inputs.big.plain;
        std::vector<std::string> packed = inputs.big.packed;
        plain.insert(plain.end(), inputs.files.plain.begin(), inputs.files.plain.end());
        packed.insert(packed.end(), inputs.files.packed.begin(), inputs.files.packed.end());
        Compress(plain, packed, options.dataDir + "/compress.list");
        WriteWhole(recipePath, recipe);
    }

    // The disks: the whole set, and the smallest file alone.
    WriteWhole(inputs.disk + "/setup.dat", SetupDat(packedNames, inputs.files.bytes));
    size_t smallest = static_cast<size_t>(std::min_element(sizes.begin(), sizes.end()) - sizes.begin());
    RemoveTree(inputs.oneDisk);
    MakeDirs(inputs.oneDisk);
    WriteWhole(inputs.oneDisk + "/" + packedNames[smallest], ReadWhole(inputs.files.packed[smallest]));
    WriteWhole(inputs.oneDisk + "/setup.dat", SetupDat({packedNames[smallest]}, sizes[smallest]));

    uint64_t packedBytes = 0;
    for (const std::string& path : inputs.files.packed) packedBytes += ReadWhole(path).size();
    report->Note("Inputs: content of " + contentDir + " (files of 64 KiB and more, in name order, joined); " +
                 inputs.big.name + " compressed to " + Number(ReadWhole(inputs.big.packed[0]).size()) + " bytes; " +
                 inputs.files.name + " of " + Number(shape.smallest / kKiB) + " KiB to " +
                 Number(shape.largest / kKiB) + " KiB, " + Number(inputs.files.bytes) + " bytes expanded, " +
                 Number(packedBytes) + " compressed; all compressed with mscompress.");
    return inputs;
}
