// The disk of many files installed into a virtual machine's disk image in
// qcow2 form (2 GiB virtual size, a FAT32 partition with 300 MiB in use),
// which vsetup reaches through QEMU, against the same installation into the
// raw form of that disk, which it writes itself. Also the bytes that went
// into the qcow2 image, counted from the QEMU commands that wrote them,
// against those of the installed files.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "bench/bench.h"

namespace {

const long long kDiskBytes = 2LL << 30;
const long long kPartitionSector = 63;

void Must(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    Command command;
    command.argv = argv;
    command.env = env;
    command.env.push_back("MTOOLS_SKIP_CHECK=1");
    ProcessResult result = RunProcess(command);
    if (result.status != 0) throw std::runtime_error(argv[0] + " failed: " + result.output);
}

// The raw disk: an MBR with one FAT32 partition holding WINDOWS\SYSTEM and
// a file of 300 MiB that does not compress.
void MakeRawDisk(const std::string& dir, const std::string& raw) {
    std::string mbr(512, '\0');
    const unsigned char entry[16] = {0, 1, 1, 0, 0x0C, 254, 255, 255, kPartitionSector, 0, 0, 0};
    mbr.replace(446, 16, reinterpret_cast<const char*>(entry), 16);
    unsigned long sectors = static_cast<unsigned long>(kDiskBytes / 512 - kPartitionSector);
    for (int i = 0; i < 4; ++i) mbr[446 + 12 + i] = static_cast<char>(sectors >> (8 * i));
    mbr[510] = '\x55';
    mbr[511] = '\xaa';
    WriteWhole(raw, mbr);
    Must({"truncate", "-s", std::to_string(kDiskBytes), raw});
    const std::string volume = raw + "@@" + std::to_string(kPartitionSector * 512);
    Must({"mformat", "-i", volume, "-F", "-T", std::to_string(sectors), "-h", "16", "-s", "63", "-H",
          std::to_string(kPartitionSector), "::"});
    Must({"mmd", "-i", volume, "::/WINDOWS", "::/WINDOWS/SYSTEM"});
    std::string filler(300 << 20, '\0');
    unsigned long long x = 88172645463325252ULL;
    for (size_t i = 0; i < filler.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        filler.replace(i, 8, reinterpret_cast<const char*>(&x), 8);
    }
    WriteWhole(dir + "/filler", filler);
    Must({"mcopy", "-i", volume, dir + "/filler", "::/FILLER"});
    RemoveTree(dir + "/filler");
}

double Install(const Options& options, const Inputs& inputs, const std::string& image,
               const std::vector<std::string>& env = {}) {
    Command command;
    command.argv = {options.vsetup};
    command.env = {"VSETUP_UI=batch", "VSETUP_PREFIX=" + image, "VSETUP_ANSWERS=no"};
    command.env.insert(command.env.end(), env.begin(), env.end());
    command.cwd = inputs.disk;
    ProcessResult result = RunProcess(command);
    if (result.status != 0 || result.output.find("\"caption\":\"Error\"") != std::string::npos)
        throw std::runtime_error("vsetup into " + image + " failed: " + result.output.substr(0, 400));
    return result.seconds;
}

// The bytes written into the image by the logged commands: qemu-io's
// "write -q -s FILE OFFSET LENGTH", qemu-img convert's target range
// ("--target-image-opts driver=raw,offset=OFFSET,size=LENGTH,...") but for
// the reads that go into vsetup's raw copy ("...,file.driver=file,...").
long long WrittenBytes(const std::string& log) {
    long long bytes = 0;
    std::istringstream words(ReadWhole(log));
    std::string word, file, offset, length;
    while (words >> word) {
        if (word == "-s" && words >> file >> offset >> length) bytes += std::stoll(length);
        if (word == "--target-image-opts" && words >> word && word.find(",size=") != std::string::npos &&
            word.find(",file.driver=file,") == std::string::npos)
            bytes += std::stoll(word.substr(word.find(",size=") + 6));
    }
    return bytes;
}

void CheckInstalled(const Inputs& inputs, const std::string& dir, const std::string& image, Report* report) {
    const std::string back = dir + "/back";
    Must({"qemu-img", "convert", "-O", "raw", image, dir + "/back.raw"});
    RemoveTree(back);
    MakeDirs(back);
    Must({"mcopy", "-s", "-i", dir + "/back.raw@@" + std::to_string(kPartitionSector * 512), "::/WINDOWS", back});
    Must({"qemu-img", "check", image});
    size_t half = inputs.files.names.size() / 2;
    for (size_t i = 0; i < inputs.files.names.size(); ++i) {
        std::string path = back + (i < half ? "/WINDOWS/" : "/WINDOWS/SYSTEM/") + inputs.files.names[i];
        if (!Exists(path) || ReadWhole(path) != ReadWhole(inputs.files.plain[i])) {
            report->Wrong("vsetup into a qcow2 image: " + inputs.files.names[i] + " is not installed as it should be");
            break;
        }
    }
    RemoveTree(back);
    std::remove((dir + "/back.raw").c_str());
}

}  // namespace

void BenchQemuImage(const Options& options, const Inputs& inputs, Report* report) {
    const std::string dir = options.workDir + "/qemu";
    const std::string pristine = dir + "/pristine.raw";
    const std::string raw = dir + "/disk.raw";
    const std::string qcow2 = dir + "/disk.qcow2";
    MakeDirs(dir);
    MakeRawDisk(dir, pristine);
    Must({"qemu-img", "convert", "-O", "qcow2", pristine, dir + "/pristine.qcow2"});
    auto fresh = [&]() {
        for (const std::string& image : {raw, qcow2}) std::remove((image + ".registry.reg").c_str());
        Must({"cp", "--sparse=always", pristine, raw});
        Must({"cp", dir + "/pristine.qcow2", qcow2});
        SyncAll();
    };
    std::vector<double> raws, qcow2s;
    for (int round = 0; round < options.rounds; ++round) {
        fresh();
        raws.push_back(Install(options, inputs, raw));
        SyncAll();
        qcow2s.push_back(Install(options, inputs, qcow2));
        if (round == 0) CheckInstalled(inputs, dir, qcow2, report);
    }
    // Once more with QEMU's commands logged, for the bytes they wrote.
    fresh();
    const std::string bin = dir + "/bin";
    MakeDirs(bin);
    for (const std::string tool : {"qemu-io", "qemu-img"}) {
        WriteWhole(bin + "/" + tool,
                   "#!/bin/sh\necho \"$@\" >>\"" + dir + "/qemu.log\"\nPATH=${PATH#*:} exec " + tool + " \"$@\"\n");
        Must({"chmod", "+x", bin + "/" + tool});
    }
    const char* path = std::getenv("PATH");
    Install(options, inputs, qcow2, {"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")});
    long long written = WrittenBytes(dir + "/qemu.log");
    RemoveTree(dir);

    const std::string section = "Installation, " + inputs.files.name + ", into a 2 GiB qcow2 disk image";
    report->Row(section, "the same into the disk's raw form (FAT32, 300 MiB in use)", Duration(Median(raws)));
    report->Judge(section, "vsetup, batch run, through QEMU", Duration(Median(qcow2s)), Median(qcow2s) / Median(raws),
                  "{} the raw form's time", 2.0, false);
    char text[96];
    std::snprintf(text, sizeof text, "%.1f MB (installed files: %.1f MB)", written / 1e6, inputs.files.bytes / 1e6);
    report->Row(section, "bytes written into the qcow2 image", text);
}
