// HostLzCopy: SZDD files from mscompress (an independent compressor) and
// written by hand are expanded, every other file is copied as it is, corrupt
// ones are refused without writing beyond the size they state, and failed
// writes are reported.
#include "platform/host/lz_expand.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.h"

namespace {

class LzExpand : public ::testing::Test {
protected:
    // Compresses data with mscompress.
    std::string Compress(const std::string& data) {
        WriteFile(dir_ / "plain.bin", data);
        EXPECT_EQ(std::system(("cd '" + dir_.path() + "' && rm -f plain.bin_ && mscompress plain.bin").c_str()), 0)
            << "mscompress is not installed or failed";
        return ReadFile(dir_ / "plain.bin_");
    }
    // Runs HostLzCopy from a file holding source to dest (opened with flags).
    long long Copy(const std::string& source, const std::string& dest = "", int flags = O_WRONLY | O_CREAT | O_TRUNC) {
        WriteFile(dir_ / "in", source);
        return CopyIn(dest, flags);
    }
    long long CopyIn(const std::string& dest = "", int flags = O_WRONLY | O_CREAT | O_TRUNC) {
        int in = open((dir_ / "in").c_str(), O_RDONLY);
        int out = open(dest.empty() ? (dir_ / "out").c_str() : dest.c_str(), flags, 0644);
        long long result = HostLzCopy(in, out);
        close(in);
        close(out);
        return result;
    }

    TempDir dir_;
};

const std::string kHeader = std::string("SZDD\x88\xF0\x27\x33", 8) + "A";
std::string Szdd(unsigned size, const std::string& data) {
    return kHeader + '\0' + std::string{char(size), char(size >> 8), char(size >> 16), char(size >> 24)} + data;
}
// A stream written by hand: "ab", a match copying its own output ("ababab"),
// a match reading the space-filled window ("   ").
const std::string kStream = "\x03" + std::string("ab\xF0\xF3\0\0", 6);

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

TEST_F(LzExpand, ExpandsCopiesOrRefusesEachSource) {
    const std::string mixed = MixedContent();
    ASSERT_GT(mixed.size(), 300000u);
    const std::string packed = Compress(mixed);
    // QBasic's "SZ " variant, and a signature with its last byte wrong.
    const std::string qbasic = std::string("SZ \x88\xF0\x27\x33\xD1\x05\0\0\0\xFF", 13) + "abcde";
    std::string other = Szdd(5, "\xFF" + std::string("abcde"));
    other[7] = '\x34';
    const std::pair<std::string, std::string> copied[] = {
        {packed, mixed},
        {Szdd(11, kStream), "abababab   "},
        // Not SZDD: copied byte for byte.
        {mixed, mixed},
        {"", ""},
        {"abc", "abc"},
        {kHeader.substr(0, 7), kHeader.substr(0, 7)},
        {qbasic, qbasic},
        {other, other},
    };
    for (const auto& [source, out] : copied) {
        EXPECT_EQ(Copy(source), (long long)out.size());
        EXPECT_TRUE(ReadFile(dir_ / "out") == out) << source.size();
    }

    std::string bomb = Compress(std::string(1 << 20, '\0'));  // 1 MB that claims to be 10 bytes
    bomb.replace(10, 4, std::string("\x0A\0\0\0", 4));
    // Refused, with no more written than the size each states.
    const std::pair<std::string, size_t> refused[] = {
        {kHeader + '\0', 0},                   // the signature alone
        {Szdd(11, kStream).substr(0, 13), 0},  // the header cut short
        {Szdd(10, kStream), 10},               // more data than stated
        {Szdd(12, kStream), 12},               // less
        {Szdd(0xFFFFFFFFu, kStream), 11},
        {packed.substr(0, packed.size() / 2), mixed.size()},
        {bomb, 10},
    };
    for (const auto& [source, most] : refused) {
        EXPECT_EQ(Copy(source), kLzErrorRead) << source.size();
        EXPECT_LE(ReadFile(dir_ / "out").size(), most) << source.size();
    }
    int directory = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    int out = open((dir_ / "out").c_str(), O_WRONLY);
    EXPECT_EQ(HostLzCopy(directory, out), kLzErrorRead);
    close(directory);
    close(out);
}

TEST_F(LzExpand, ReportsWriteFailures) {
    const std::string mixed = MixedContent();
    const std::string packed = Compress(mixed);
    for (const std::string& source : {mixed, packed, Szdd(11, kStream), std::string("abc")}) {
        EXPECT_EQ(Copy(source, "/dev/full"), kLzErrorWrite);
        WriteFile(dir_ / "readonly", "");
        EXPECT_EQ(Copy(source, dir_ / "readonly", O_RDONLY), kLzErrorWrite);
    }
    // A file size limit: a short write, then EFBIG.
    for (const std::string& source : {mixed, packed}) {
        WriteFile(dir_ / "in", source);
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
