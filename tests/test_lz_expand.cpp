#include "platform/host/lz_expand.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mspack.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class LzExpand : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "lzexpand.XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

    std::string Path(const std::string& name) { return dir_ + "/" + name; }
    void Put(const std::string& name, const std::string& data) {
        std::ofstream(Path(name), std::ios::binary) << data;
    }
    std::string Get(const std::string& name) {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Compresses data with mscompress, an independent SZDD compressor.
    std::string Compress(const std::string& data) {
        EXPECT_EQ(std::system("command -v mscompress >/dev/null"), 0) << "mscompress is not installed";
        Put("plain.bin", data);
        EXPECT_EQ(std::system(("cd '" + dir_ + "' && rm -f plain.bin_ && mscompress plain.bin").c_str()), 0);
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

    std::string dir_;
};

// A header and a stream written by hand: "ab", a match copying its own output
// ("ababab"), a match reading the space-filled window ("   ").
const std::string kHeader("SZDD\x88\xF0\x27\x33" "A", 9);
std::string Szdd(unsigned size, const std::string& data) {
    return kHeader + std::string(1, '\0') + std::string{char(size), char(size >> 8), char(size >> 16), char(size >> 24)} +
           data;
}
const std::string kStream("\x03" "ab\xF0\xF3\x00\x00", 7);

std::string MixedContent() {
    std::string data;
    unsigned state = 12345;
    for (int block = 0; block < 60; ++block) {
        for (int line = 0; line < 40; ++line)
            data += "[Driver.AddReg] HKR,DEFAULT,Mode,,\"8,640,480\" line " + std::to_string(block * 40 + line) + "\r\n";
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
    EXPECT_EQ(Copy(Szdd(8, std::string("\xFF" "ABCDEFGH", 9))), 8);
    EXPECT_EQ(Get("out"), "ABCDEFGH");
}

TEST_F(LzExpand, CopiesEveryOtherFileAsItIs) {
    const std::string mixed = MixedContent();
    const std::string qbasic("SZ \x88\xF0\x27\x33\xD1\x05\0\0\0\xFF" "abcde", 18);
    for (const std::string& plain : {mixed, std::string(), std::string("abc"), kHeader.substr(0, 7), qbasic,
                                     std::string("SZDD\x88\xF0\x27\x34" "A\0\x05\0\0\0\xFF" "abcde", 19)}) {
        EXPECT_EQ(Copy(plain), (long long)plain.size());
        EXPECT_TRUE(Get("out") == plain) << plain.size();
    }
}

TEST_F(LzExpand, RejectsCorruptFilesAndBoundsTheOutput) {
    EXPECT_EQ(Copy(kHeader + '\0'), kLzErrorRead);                  // signature only
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

    int directory = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
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

// libmspack's SZDD decoder, the independent reference: the bytes it expands
// packed to, or false when it refuses the file.
bool ReferenceExpand(const std::string& dir, const std::string& packed, std::string* out) {
    const std::string in_path = dir + "/reference.in";
    const std::string out_path = dir + "/reference.out";
    std::ofstream(in_path, std::ios::binary) << packed;
    std::remove(out_path.c_str());
    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(nullptr);
    msszddd_header* header = decompressor->open(decompressor, in_path.c_str());
    int error = header ? decompressor->extract(decompressor, header, out_path.c_str()) : MSPACK_ERR_OPEN;
    if (header) decompressor->close(decompressor, header);
    mspack_destroy_szdd_decompressor(decompressor);
    std::ifstream in(out_path, std::ios::binary);
    *out = std::string(std::istreambuf_iterator<char>(in), {});
    return error == MSPACK_ERR_OK;
}

// Random LZSS streams: any bytes decode, so they are streams of literals and
// matches of every length, at every distance, overlapping their own output
// or reaching into the space-filled start. matchiness sets how many items
// are matches.
std::string RandomStream(unsigned* state, size_t size, unsigned matchiness) {
    auto next = [state] { return (*state = *state * 1103515245u + 12345u) >> 16; };
    std::string data;
    while (data.size() < size) {
        unsigned control = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (next() % 8 >= matchiness) control |= 1u << bit;
        data += char(control);
        for (int bit = 0; bit < 8; ++bit) {
            data += char(next());
            if (!(control >> bit & 1)) data += char(next());
        }
    }
    return data;
}

unsigned StatedSize(const std::string& packed) {
    return (unsigned char)packed[10] | (unsigned char)packed[11] << 8 | (unsigned char)packed[12] << 16 |
           unsigned((unsigned char)packed[13]) << 24;
}

// The service's rules against libmspack's decoding: a file is whole when
// libmspack expands it to exactly the stated size, and then both give the
// same bytes; any other SZDD file is corrupt, with no more than the stated
// size written.
TEST_F(LzExpand, AgreesWithLibmspackOnValidAndDamagedFiles) {
    std::vector<std::string> files;
    unsigned state = 2024;
    for (unsigned matchiness = 0; matchiness <= 8; ++matchiness) {
        for (size_t size : {0, 1, 2, 3, 16, 17, 18, 100, 4096, 5000}) {
            std::string stream = RandomStream(&state, size, matchiness);
            std::string reference;
            ReferenceExpand(dir_, Szdd(0, stream), &reference);
            std::string whole = Szdd(unsigned(reference.size()), stream);
            files.push_back(whole);
            files.push_back(Szdd(unsigned(reference.size()) + 1, stream));
            if (!reference.empty()) files.push_back(Szdd(unsigned(reference.size()) - 1, stream));
            for (size_t cut : {size_t(1), size_t(2), size_t(3), size_t(17), stream.size() / 2})
                if (cut <= stream.size()) files.push_back(whole.substr(0, whole.size() - cut));
            files.push_back(whole + char(state));
            files.push_back(whole + std::string(3, '\0'));
        }
    }
    // Beyond the decoder's buffers: streams that take several reads and
    // expand to several writes.
    for (unsigned matchiness : {2u, 7u}) {
        std::string stream = RandomStream(&state, 700000, matchiness);
        std::string reference;
        ReferenceExpand(dir_, Szdd(0, stream), &reference);
        files.push_back(Szdd(unsigned(reference.size()), stream));
        files.push_back(Szdd(unsigned(reference.size()) - 5, stream));
    }
    files.push_back(Compress(MixedContent()));
    std::string header_damaged = Szdd(11, kStream);
    header_damaged[8] = 'B';  // a mode other than LZSS
    files.push_back(header_damaged);

    int whole_files = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& packed = files[i];
        std::string reference;
        bool whole = ReferenceExpand(dir_, packed, &reference) && reference.size() == StatedSize(packed);
        whole_files += whole;

        // A copy of its exact size, so that a read past the end shows under
        // a sanitizer.
        std::vector<unsigned char> exact(packed.begin(), packed.end());
        std::vector<unsigned char> memory;
        long long from_memory = HostLzExpandMemory(exact.data(), exact.size(), &memory);
        long long from_file = Copy(packed);
        std::string written = Get("out");
        if (whole) {
            ASSERT_EQ(from_memory, (long long)reference.size()) << i;
            ASSERT_EQ(from_file, (long long)reference.size()) << i;
            ASSERT_TRUE(std::string(memory.begin(), memory.end()) == reference) << i;
            ASSERT_TRUE(written == reference) << i;
        } else {
            ASSERT_EQ(from_memory, kLzErrorRead) << i;
            ASSERT_EQ(from_file, kLzErrorRead) << i;
            ASSERT_LE(memory.size(), StatedSize(packed)) << i;
            ASSERT_LE(written.size(), StatedSize(packed)) << i;
        }
    }
    EXPECT_GT(whole_files, 80);
    EXPECT_GT(int(files.size()) - whole_files, 400);

    // What is not an SZDD file at all is for HostLzCopy to copy, not to expand.
    std::vector<unsigned char> out;
    for (const std::string& plain : {std::string(), std::string("SZDD"), MixedContent()})
        EXPECT_EQ(HostLzExpandMemory(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), &out),
                  kLzErrorRead);
}

}  // namespace
