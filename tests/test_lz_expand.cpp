// HostLzCopy where only a test program can put it: a source that is no file,
// and destinations that fail (a full disk, a file size limit that cuts a
// write short). How sources expand, are copied or
// are refused is checked against libmspack by the fuzz target fuzz_lz over
// its corpus.
#include "platform/host/lz_expand.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "tests/test_support.h"

namespace {

// HostLzCopy from the file in to the file out.
long long Copy(const std::string& in, const std::string& out) {
    const int source = open(in.c_str(), O_RDONLY);
    const int dest = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    long long result = HostLzCopy(source, dest);
    close(source);
    close(dest);
    return result;
}

TEST(LzExpand, ReportsReadAndWriteFailures) {
    TempDir dir;
    std::string data;  // 300 kB that compress poorly, to outgrow a 100 kB limit
    unsigned state = 1;
    for (int i = 0; i < 300000; ++i) {
        state = state * 1103515245u + 12345u;
        data += static_cast<char>(state >> 23);
    }
    WriteFile(dir / "plain", data);
    WriteFile(dir / "plain_", MakeSzdd(data));
    WriteFile(dir / "tiny", MakeSzdd("abc"));
    EXPECT_EQ(Copy(dir.path(), dir / "out"), kLzErrorRead);  // a directory
    for (const char* source : {"plain", "plain_", "tiny"}) {
        EXPECT_EQ(Copy(dir / source, "/dev/full"), kLzErrorWrite) << source;
        if (source[0] == 't') continue;
        // A file size limit: a short write, then EFBIG.
        EXPECT_EXIT(
            {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit;
                limit.rlim_cur = 100000;
                limit.rlim_max = 100000;
                setrlimit(RLIMIT_FSIZE, &limit);
                _exit(Copy(dir / source, dir / "out") == kLzErrorWrite ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << source;
    }
}

}  // namespace
