#include "diskettes/setup_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "installer/steps/copy_files.h"
#include "platform/host/profile_engine.h"
#include "installer/steps/reg_install.h"
#include "installer/setupinfo/fields.h"
#include "installer/setupinfo/setup_text.h"

namespace {

// Where the installer runs from a diskette and where Windows usually lives:
// the paths its length limits are measured on.
const char kDisketteDir[] = "A:";
const char kWindowsDir[] = "C:\\WINDOWS";
const char kSystemDir[] = "C:\\WINDOWS\\SYSTEM";

class Checker {
public:
    explicit Checker(const std::string& data) {
        size_t start = 0;
        while (start <= data.size()) {
            size_t end = data.find('\n', start);
            std::string line = data.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
            if (end == std::string::npos) break;
            start = end + 1;
        }
        IniRead(data, "Product", "DriverInf", &driverInf_);
        IniRead(data, "Product", "OemsetupInf", &oemInf_);
        data_ = &data;
    }

    SetupCheck Run() {
        if (!LoadSetupTextFromMemory(data_->data(), data_->size())) {
            Whole("setup.dat can't be read into memory", true);
            return std::move(result_);
        }
        CopyList("[WindowsDir]", kWindowsDir, "Windows");
        CopyList("[SystemDir]", kSystemDir, "System");
        if (Find("[Prev.DelReg]") == -1) {
            Whole(
                "section [Prev.DelReg] is missing: the installer says \"Can't find section: [Prev.DelReg]\" "
                "and writes no registry entry",
                true);
        } else {
            RegList();
        }
        ReleaseSetupText();
        Labels();
        // In the order of the file; findings about the file as a whole last.
        std::stable_sort(result_.findings.begin(), result_.findings.end(), [](const Finding& a, const Finding& b) {
            return (a.line == 0 ? 1 << 30 : a.line) < (b.line == 0 ? 1 << 30 : b.line);
        });
        return std::move(result_);
    }

private:
    long Find(const char* header) { return FindSection(g_setupText.bytes, g_setupText.length, header); }

    // The file line that a position in the loaded text stands on: the loader
    // keeps every line end, so lines of the text are lines of the file.
    int LineAt(long position) const {
        int line = 1;
        for (long i = 0; i < position; ++i)
            if (g_setupText.bytes[i] == '\n') ++line;
        return line;
    }

    void Add(int line, const std::string& what, bool fails) {
        std::string text = line > 0 && static_cast<size_t>(line) <= lines_.size() ? lines_[line - 1] : "";
        result_.findings.push_back({line, text, what, fails});
    }
    void Whole(const std::string& what, bool fails) { result_.findings.push_back({0, "", what, fails}); }

    // Hands each non-blank line of the section at position to take, with its
    // line number, as the installer reads it; an overlong one is a finding.
    template <typename Take>
    void EachLine(long position, const char* done, Take take) {
        char line[kLineSize];
        for (;;) {
            long at = position;
            int read = ReadSectionLine(g_setupText.bytes, line, &position);
            if (read == kLineEnd) return;
            if (read == kLineTooLong) {
                Add(LineAt(at),
                    std::string("longer than 255 bytes: refused (\"Line too long\"), nothing is ") + done + " for it",
                    true);
                continue;
            }
            if (!IsBlankLine(line)) take(LineAt(at), line);
        }
    }

    void CopyList(const char* header, const char* destDir, const char* dirName) {
        long position = Find(header);
        if (position == -1) {
            Whole(std::string("section ") + header + " is missing: the installer says \"Can't find section: " + header +
                      "\" and copies nothing from it" +
                      (std::strcmp(header, "[WindowsDir]") == 0 ? " nor from [SystemDir]" : ""),
                  true);
            return;
        }
        EachLine(position, "copied", [&](int number, const char* line) { CopyLine(number, line, destDir, dirName); });
    }

    // What of a copy line's disk field and further fields is not read.
    void FieldNotes(int number, const char* line, const CopyEntry& entry) {
        char first[256];
        long next = NextCopyToken(line, first, 0);
        if (std::strlen(first) > 1)
            Add(number, std::string("only the first character of the disk field counts: read as disk ") + entry.diskId,
                false);
        char rest[256];
        if (next != -1) {
            long after = NextCopyToken(line, rest, next);
            if (after != -1) {
                NextCopyToken(line, rest, after);
                if (rest[0])
                    Add(number,
                        std::string("only the file name ") + entry.fileName + " is read; " + rest +
                            " and what follows are ignored",
                        false);
            }
        }
    }

    void CopyLine(int number, const char* line, const char* destDir, const char* dirName) {
        CopyEntry entry;
        SplitCopyLine(line, &entry);
        if (entry.fileName[0] == '\0') {
            Add(number,
                std::strchr(line, ',') ? "no file name is read from it (a blank before the comma ends the "
                                         "disk field there): refused (\"Missing file name\")"
                                       : "the line has no file name: refused (\"Missing file name\")",
                true);
            return;
        }
        FieldNotes(number, line, entry);
        if (std::strlen(kDisketteDir) + 1 + std::strlen(entry.fileName) > kMaxLzPath) {
            Add(number,
                "the source path A:\\" + std::string(entry.fileName) +
                    " is longer than 127 characters: refused (\"Path too long\")",
                true);
            return;
        }
        char name[256];
        std::memcpy(name, entry.fileName, sizeof name);
        if (!StripDirectory(name)) {
            Add(number,
                "the name after the last backslash is longer than 127 characters: refused "
                "(\"File name too long\")",
                true);
            return;
        }
        bool stripped = std::strcmp(name, entry.fileName) != 0;
        ExpandCompressedName(name);
        size_t length = std::strlen(name);
        bool unmapped = length > 0 && name[length - 1] == '_';
        std::string installed = name;
        std::string where = std::string("the ") + dirName + " directory";
        bool toInf = !driverInf_.empty() && PlatEqualNoCase(name, driverInf_.c_str());
        if (toInf) {
            where = std::string("the inf directory of the ") + dirName + " directory";
            if (oemInf_.empty()) {
                Add(number,
                    "it is the driver INF, and [Product] has no OemsetupInf: installed as " + installed + " in " +
                        where,
                    false);
            } else {
                char oem[256];
                std::snprintf(oem, sizeof oem, "%s", oemInf_.c_str());
                if (!StripDirectory(oem)) {
                    Add(number, "[Product] OemsetupInf is longer than 127 characters: refused (\"File name too long\")",
                        true);
                    return;
                }
                installed = oem;
            }
        }
        if (!IsSafeFileName(installed.c_str())) {
            Add(number, "the installed name " + installed + " is no plain file name: refused (\"Can't copy file\")",
                true);
            return;
        }
        std::string target = std::string(destDir) + (toInf ? "\\inf" : "");
        if (target.size() + 1 + installed.size() > kMaxLzPath || target.size() + kTempNameLength > kMaxLzPath) {
            Add(number,
                "the destination " + target + "\\" + installed +
                    " is longer than 127 characters: refused (\"Path too long\")",
                true);
            return;
        }
        if (stripped)
            Add(number, "the directory part is dropped: installed as " + installed + " directly in " + where, false);
        if (unmapped)
            Add(number,
                "the compressed extension has no installed-name mapping: installed as " + installed +
                    ", still compressed",
                false);
        result_.disks[entry.diskId[0]].push_back({entry.fileName, number});
    }

    void RegList() {
        long position = Find("[Driver.AddReg]");
        if (position == -1) {
            Whole(
                "section [Driver.AddReg] is missing: the installer says \"Can't find section: [Driver.AddReg]\" "
                "and writes no registry entry",
                true);
            return;
        }
        EachLine(position, "written", [&](int number, const char* line) { RegLine(number, line); });
    }

    void RegLine(int number, const char* line) {
        RegEntry entry;
        std::memset(&entry, 0, sizeof entry);
        const char* overlong = nullptr;
        int count = SplitRegLine(line, &entry, &overlong);
        if (overlong) {
            Add(number, "the value name is longer than 127 characters: refused (\"Value name too long\")", true);
            return;
        }
        if (LookupRoot(entry.root) == kRootNone) {
            Add(number, "the root matches no keyword (HKR, HKCR, HKLM; exact case): the line is ignored", false);
            return;
        }
        if (count != 2 && count != 5)
            Add(number,
                "a line makes a key with exactly two fields and sets a value with five; with " + std::to_string(count) +
                    " it writes nothing",
                false);
        if (DropsInnerBlank(line))
            Add(number,
                std::string("blanks outside quotes are dropped: read as ") + entry.root + "," + entry.subkey +
                    (count >= 3 ? std::string(",") + entry.valueName : "") +
                    (count >= 5 ? std::string(",") + entry.flags + "," + entry.value : ""),
                false);
    }

    // True when a blank outside quotes stands between two characters of one
    // field, where the splitter drops it and joins the two.
    static bool DropsInnerBlank(const char* line) {
        bool quoted = false;
        bool inField = false;  // a non-blank of this field was seen
        bool blankAfter = false;
        for (const char* p = line; *p && *p != '\r' && *p != '\n'; ++p) {
            char c = *p;
            if (c == '"') {
                quoted = !quoted;
            } else if (!quoted && (c == ' ' || c == '\t')) {
                if (inField) blankAfter = true;
                continue;
            } else if (!quoted && c == ',') {
                inField = blankAfter = false;
                continue;
            }
            if (blankAfter) return true;
            inField = true;
        }
        return false;
    }

    void Labels() {
        for (auto& disk : result_.disks) {
            std::string label;
            char key[2] = {disk.first, '\0'};
            if (IniRead(*data_, "Source Media Descriptions", key, &label)) {
                result_.labels[disk.first] = label;
            } else {
                Add(disk.second.front().line,
                    std::string("disk ") + key +
                        " has no label in [Source Media Descriptions]: the prompt for it "
                        "shows the label of the previous prompt, or none",
                    false);
            }
        }
    }

    const std::string* data_ = nullptr;
    std::vector<std::string> lines_;
    std::string driverInf_;
    std::string oemInf_;
    SetupCheck result_;
};

}  // namespace

SetupCheck CheckSetupDat(const std::string& data) { return Checker(data).Run(); }
