#include "tests/robust/robust_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

RunResult RunVsetup(const std::string& disk_dir, const std::string& prefix, const ChildOptions& options) {
    RunResult result = RunProgram(disk_dir, prefix, "", options.env, [&options] {
        if (!options.preload.empty()) {
            setenv("LD_PRELOAD", options.preload.c_str(), 1);
            // A sanitized program wants its runtime loaded first; the shim
            // comes before it and only passes calls on.
            const char* asan = std::getenv("ASAN_OPTIONS");
            std::string value =
                std::string(asan && *asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
            setenv("ASAN_OPTIONS", value.c_str(), 1);
        }
    });
    if (options.expectedExit >= 0) {
        EXPECT_EQ(options.expectedExit, result.exitCode) << "vsetup from " << disk_dir;
    }
    return result;
}

void CopyTree(const std::string& from, const std::string& to) {
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
}
