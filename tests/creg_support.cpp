#include "tests/creg_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/host/creg_store.h"
#include "tests/test_support.h"

namespace {

int Run(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out->append(buffer, n);
    return pclose(pipe);
}

std::string Escaped(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += (c >= 0x20 && c <= 0x7E && c != '%') ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

void Dump(const CregHive& hive, uint32_t key, const std::string& path, std::string* out) {
    *out += "[" + Escaped(path) + "]\n";
    for (size_t i = 0; i < hive.ValueCount(key); ++i) {
        std::string name, data, hex;
        uint32_t type;
        hive.GetValue(key, i, &name, &type, &data);
        for (unsigned char c : data) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", c);
            hex += two;
        }
        *out += "  \"" + Escaped(name) + "\" type=" + std::to_string(type) + " data=" + hex + "\n";
    }
    for (uint32_t c = hive.FirstChild(key); c != CregHive::kNone; c = hive.NextSibling(c))
        Dump(hive, c, path.empty() ? hive.Name(c) : path + "\\" + hive.Name(c), out);
}

}  // namespace

bool GenerateHive(const std::string& path) {
    std::string out;
    return Run("python3 " VSETUP_SOURCE_DIR "/tools/creg-gen.py display '" + path + "'", &out) == 0;
}

std::string Oracle(const std::string& file) {
    std::string out;
    EXPECT_EQ(0, Run("python3 " VSETUP_SOURCE_DIR "/tools/creg-oracle.py '" + file + "'", &out))
        << file << " is not read alike by both readers";
    return out;
}

std::string Dump(const CregHive& hive) {
    std::string out;
    Dump(hive, 0, "", &out);
    return out;
}

std::set<std::string> HiveEntries(const std::string& path) {
    CregStore store;
    std::string error;
    EXPECT_TRUE(store.Open(path, &error)) << error;
    std::set<std::string> entries;
    std::string key;
    for (const std::string& line : SplitLines(Dump(store.Hive()))) {
        if (line[0] == '[') key = line;
        entries.insert(line[0] == '[' ? line : key + line);
    }
    return entries;
}
