#include "platform/host/lz_expand.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

class LzExpand : public ::testing::Test {
protected:
    std::string Path(const std::string& name) { return dir_ / name; }
    void Put(const std::string& name, const std::string& data) { std::ofstream(Path(name), std::ios::binary) << data; }
    std::string Get(const std::string& name) {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Compresses data with mscompress, an independent SZDD compressor.
    std::string Compress(const std::string& data) {
        EXPECT_EQ(std::system("command -v mscompress >/dev/null"), 0) << "mscompress is not installed";
        Put("plain.bin", data);
        EXPECT_EQ(std::system(("cd '" + dir_.path() + "' && rm -f plain.bin_ && mscompress plain.bin").c_str()), 0);
        return Get("plain.bin_");
    }
    // Runs HostLzCopy from a file holding source to dest_path (opened with flags).
    long long Copy(const std::string& source, const std::string& dest_path = "",
                   int flags = O_WRONLY | O_CREAT | O_TRUNC) {
        Put("in", source);
        return CopyIn(dest_path, flags);
    }
    long long CopyIn(const std::string& dest_path = "", int flags = O_WRONLY | O_CREAT | O_TRUNC) {
        int in = open(Path("in").c_str(), O_RDONLY);
        int out = open(dest_path.empty() ? Path("out").c_str() : dest_path.c_str(), flags, 0644);
        long long result = HostLzCopy(in, out);
        close(in);
        close(out);
        return result;
    }

    TempDir dir_;
};

// A header and a stream written by hand: "ab", a match copying its own output
// ("ababab"), a match reading the space-filled window ("   ").
const std::string kHeader(
    "SZDD\x88\xF0\x27\x33"
    "A",
    9);
std::string Szdd(unsigned size, const std::string& data) {
    return kHeader + std::string(1, '\0') +
           std::string{char(size), char(size >> 8), char(size >> 16), char(size >> 24)} + data;
}
const std::string kStream(
    "\x03"
    "ab\xF0\xF3\x00\x00",
    7);

std::string MixedContent() {
    std::string data;
    unsigned state = 12345;
    for (int block = 0; block < 60; ++block) {
        for (int line = 0; line < 40; ++line)
            data +=
                "[Driver.AddReg] HKR,DEFAULT,Mode,,\"8,640,480\" line " + std::to_string(block * 40 + line) + "\r\n";
        for (int i = 0; i < 2500; ++i) data += char((state = state * 1103515245u + 12345u) >> 23);
        data += std::string(block * 10, block % 2 ? ' ' : '\0');
    }
    return data;
}

TEST_F(LzExpand, ExpandsCompressedFiles) {
    const std::string mixed = MixedContent();
    ASSERT_GT(mixed.size(), 300000u);
    const std::string packed = Compress(mixed);
    ASSERT_EQ(packed.compare(0, 8, kHeader, 0, 8), 0);
    EXPECT_EQ(Copy(packed), (long long)mixed.size());
    EXPECT_TRUE(Get("out") == mixed);

    EXPECT_EQ(Copy(Szdd(11, kStream)), 11);
    EXPECT_EQ(Get("out"), "abababab   ");
    EXPECT_EQ(Copy(Szdd(8, std::string("\xFF"
                                       "ABCDEFGH",
                                       9))),
              8);
    EXPECT_EQ(Get("out"), "ABCDEFGH");
}

TEST_F(LzExpand, CopiesEveryOtherFileAsItIs) {
    const std::string mixed = MixedContent();
    const std::string qbasic(
        "SZ \x88\xF0\x27\x33\xD1\x05\0\0\0\xFF"
        "abcde",
        18);
    for (const std::string& plain : {mixed, std::string(), std::string("abc"), kHeader.substr(0, 7), qbasic,
                                     std::string("SZDD\x88\xF0\x27\x34"
                                                 "A\0\x05\0\0\0\xFF"
                                                 "abcde",
                                                 19)}) {
        EXPECT_EQ(Copy(plain), (long long)plain.size());
        EXPECT_TRUE(Get("out") == plain) << plain.size();
    }
}

TEST_F(LzExpand, RejectsCorruptFilesAndBoundsTheOutput) {
    EXPECT_EQ(Copy(kHeader + '\0'), kLzErrorRead);                   // signature only
    EXPECT_EQ(Copy(Szdd(11, kStream).substr(0, 13)), kLzErrorRead);  // header cut short
    for (unsigned claimed : {10u, 12u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Copy(Szdd(claimed, kStream)), kLzErrorRead) << claimed;
        EXPECT_LE(Get("out").size(), claimed);
    }
    const std::string packed = Compress(MixedContent());
    EXPECT_EQ(Copy(packed.substr(0, packed.size() / 2)), kLzErrorRead);

    std::string bomb = Compress(std::string(1 << 20, '\0'));  // 1 MB that claims to be 10 bytes
    bomb.replace(10, 4, std::string("\x0A\0\0\0", 4));
    EXPECT_EQ(Copy(bomb), kLzErrorRead);
    EXPECT_LE(Get("out").size(), 10u);

    int directory = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    int out = open(Path("out").c_str(), O_WRONLY);
    EXPECT_EQ(HostLzCopy(directory, out), kLzErrorRead);
    close(directory);
    close(out);
}

TEST_F(LzExpand, ReportsWriteFailures) {
    const std::string mixed = MixedContent();
    const std::string packed = Compress(mixed);
    for (const std::string& source : {mixed, packed, Szdd(11, kStream), std::string("abc")}) {
        EXPECT_EQ(Copy(source, "/dev/full"), kLzErrorWrite);
        Put("readonly", "");
        EXPECT_EQ(Copy(source, Path("readonly"), O_RDONLY), kLzErrorWrite);
    }
    // A file size limit: a short write, then EFBIG.
    for (const std::string& source : {mixed, packed}) {
        Put("in", source);
        EXPECT_EXIT(
            {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit;
                limit.rlim_cur = limit.rlim_max = 100000;
                setrlimit(RLIMIT_FSIZE, &limit);
                _exit(CopyIn() == kLzErrorWrite ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
