// HostLzCopy where only a test program can put it: a source that is no file,
// which the installer never opens. Destinations that fail (a file size limit
// that cuts a write short) are shown by the golden scenario
// faults-files-larger-than-the-disk; how sources expand, are copied or are
// refused is checked against libmspack by the fuzz target fuzz_lz over its
// corpus.
#include "platform/host/lz_expand.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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

TEST(LzExpand, ReportsAReadFailure) {
    TempDir dir;
    EXPECT_EQ(Copy(dir.Path(), dir / "out"), PLAT_LZ_ERROR_READ);  // a directory
}

}  // namespace
