#include "installer/steps/copy_files.h"

#include <cstring>

#include "installer/core/messages.h"
#include "installer/core/setup_state.h"
#include "resources/resource.h"
#include "installer/setupinfo/fields.h"
#include "installer/setupinfo/setup_text.h"

namespace {

struct CompressedName {
    const char* extension;
    char last;
};

// Installed names of compressed files: the last character of the
// extension, which the compressor replaced by "_", comes back.
const CompressedName kCompressedNames[] = {
    {"dr_", 'v'}, {"vx_", 'd'}, {"in_", 'f'}, {"dl_", 'l'}, {"hl_", 'p'}, {"da_", 't'}, {"re_", 'g'}, {"tx_", 't'},
};

const size_t kMaxNamePart = 127;
// The diskette prompt's own words leave this much room for the label.
const size_t kMaxLabel = 212;

// The SZDD header: signature, mode, last character, expanded size.
const unsigned char kSzddSignature[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
const size_t kSzddHeaderSize = 14;

bool Join(char* out, const char* format, const char* a, const char* b) {
    return PlatFormatText(out, kPathSize, format, a, b) >= 0;
}

// What the source's header says about it, read before the copy so that a
// compressed file that expands to the wrong size is never installed.
struct SourceHeader {
    bool compressed = false;
    bool truncated = false;  // the signature without a whole header
    unsigned long long expandedSize = 0;
};

SourceHeader ReadSourceHeader(const char* path) {
    SourceHeader header;
    PlatFile file = PlatFileOpenRead(path);
    if (file == PLAT_NO_FILE) return header;
    unsigned char bytes[kSzddHeaderSize];
    size_t got = 0;
    while (got < sizeof bytes) {
        long n = PlatFileRead(file, bytes + got, sizeof bytes - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    PlatFileClose(file);
    if (got < sizeof kSzddSignature || std::memcmp(bytes, kSzddSignature, sizeof kSzddSignature) != 0) return header;
    header.compressed = true;
    if (got < kSzddHeaderSize) {
        header.truncated = true;
        return header;
    }
    header.expandedSize =
        static_cast<unsigned long long>(bytes[10]) | (static_cast<unsigned long long>(bytes[11]) << 8) |
        (static_cast<unsigned long long>(bytes[12]) << 16) | (static_cast<unsigned long long>(bytes[13]) << 24);
    return header;
}

// The copied files that wait to be put in place. Their temporaries are
// written one after another without waiting for the disk; CommitGroup then
// syncs them all, renames each over its destination and syncs each directory
// once, where a copy of its own would pay for each of those per file. The
// group is committed when it is full, at the end of each list and before
// anything waits for the user (a diskette prompt, an error message), so that
// every file copied before is installed by then, as if each were committed
// at once: a Cancel or a failed file keeps what was copied before it. A
// file whose destination waits in the group already, in any spelling, waits
// for that one to be in place: it then replaces it, as it would on Windows,
// instead of being put beside it under another spelling of the same name.
const int kMaxGroup = 64;
struct PendingFile {
    char temporary[kPathSize];
    char destination[kPathSize];
    char directory[kPathSize];
    char shown[kPathSize];  // the destination as the status line shows it
};
PendingFile g_group[kMaxGroup];
int g_groupSize = 0;

void CommitGroup() {
    if (g_groupSize == 0) return;
    const char* temporaries[kMaxGroup];
    for (int i = 0; i < g_groupSize; ++i) temporaries[i] = g_group[i].temporary;
    bool dataSynced = PlatSyncFiles(temporaries, g_groupSize) != 0;
    bool failed[kMaxGroup] = {};
    for (int i = 0; i < g_groupSize; ++i) {
        failed[i] = !dataSynced || !PlatReplaceFile(g_group[i].temporary, g_group[i].destination);
        if (failed[i]) PlatDeleteFile(g_group[i].temporary);
    }
    for (int i = 0; i < g_groupSize; ++i) {
        bool synced = false;
        for (int j = 0; j < i && !synced; ++j) synced = std::strcmp(g_group[j].directory, g_group[i].directory) == 0;
        // A directory that cannot be synced leaves the files in place for
        // this session; nothing better can be done about it.
        if (!synced) PlatSyncDirectory(g_group[i].directory);
    }
    int size = g_groupSize;
    g_groupSize = 0;
    for (int i = 0; i < size; ++i) {
        if (failed[i]) ShowErrorF("Can't copy file: %s", g_group[i].shown);
    }
}

// An error of the copy, shown once the files copied before it are in place.
void CopyError(const char* format, const char* first, const char* second = nullptr) {
    CommitGroup();
    ShowErrorF(format, first, second);
}

// Expands source into a new file beside destination and adds it to the
// group, to be put in destination's place when the group is committed.
// Returns the bytes written, or a negative result when nothing will be
// installed (the temporary file is gone then).
long long CopyIntoGroup(PlatLz source, const char* sourcePath, const char* destination, const char* destinationDir,
                        const char* shown) {
    SourceHeader header = ReadSourceHeader(sourcePath);
    bool waiting = false;
    for (int i = 0; i < g_groupSize && !waiting; ++i) waiting = PlatEqualNoCase(g_group[i].destination, destination);
    if (g_groupSize == kMaxGroup || waiting) CommitGroup();
    PendingFile& file = g_group[g_groupSize];
    if (!PlatCreateTempFile(destinationDir, file.temporary, sizeof file.temporary)) return PLAT_LZ_ERROR_WRITE;
    long long result = PLAT_LZ_ERROR_WRITE;
    PlatLz target = PlatLzOpenWrite(file.temporary);
    if (target >= 0) {
        result = PlatLzCopy(source, target);
        PlatLzClose(target);
    }
    if (result >= 0 && header.compressed &&
        (header.truncated || static_cast<unsigned long long>(result) != header.expandedSize))
        result = PLAT_LZ_ERROR_READ;
    if (result >= 0 && !PlatPrepareReplace(file.temporary, destination)) result = PLAT_LZ_ERROR_WRITE;
    if (result < 0) {
        PlatDeleteFile(file.temporary);
        return result;
    }
    std::memcpy(file.destination, destination, kPathSize);
    std::memcpy(file.directory, destinationDir, kPathSize);
    std::memcpy(file.shown, shown, kPathSize);
    ++g_groupSize;
    return result;
}

// Opens the source, asking for its diskette while it is missing. Returns
// the open result; *cancelled is set when the user gave up.
PlatLz OpenSource(PlatWindow page, const char* sourcePath, const char* diskId, char* label, bool* cancelled,
                  bool* labelTooLong) {
    *cancelled = false;
    *labelTooLong = false;
    PlatLz source = PlatLzOpenRead(sourcePath);
    while (source == PLAT_LZ_NOT_FOUND) {
        // An absent label leaves the one of the previous prompt.
        char previous[kPathSize];
        std::memcpy(previous, label, kPathSize);
        PlatGetProfileString("Source Media Descriptions", diskId, previous, label, kPathSize, g_setup.setupFile);
        if (std::strlen(label) > kMaxLabel) {
            *labelTooLong = true;
            return source;
        }
        CommitGroup();
        PlatFormatText(g_setup.messageText, sizeof g_setup.messageText,
                       "Please insert the diskette labeled %s into %c:", label, g_setup.sourceDir[0]);
        if (PlatMessageBox(g_setup.messageText, "Error", PLAT_MB_OKCANCEL) != PLAT_IDOK) {
            *cancelled = true;
            return source;
        }
        PlatSetFocus(page);
        source = PlatLzOpenRead(sourcePath);
    }
    return source;
}

}  // namespace

int StripDirectory(char* name) {
    const char* part = name;
    for (const char* p = name; *p; ++p) {
        if (*p == '\\' || *p == '/') part = p + 1;
    }
    size_t length = std::strlen(part);
    if (length > kMaxNamePart) return 0;
    std::memmove(name, part, length + 1);
    return 1;
}

void GetExtension(const char* name, char* out) {
    const char* dot = std::strrchr(name, '.');
    if (!dot) {
        out[0] = '\0';
        return;
    }
    PlatFormatText(out, 256, "%s", dot + 1);
}

void ExpandCompressedName(char* name) {
    char extension[256];
    GetExtension(name, extension);
    if (std::strlen(extension) != 3) return;
    for (const CompressedName& row : kCompressedNames) {
        if (PlatEqualNoCase(extension, row.extension)) {
            name[std::strlen(name) - 1] = row.last;
            return;
        }
    }
}

int IsSafeFileName(const char* name) {
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || *p == ':' || *p == '\\' || *p == '/') return 0;
    }
    return 1;
}

long long RoundedCopySize(long long result) {
    if (result <= 0) return 0;
    return (result + 2047) / 2048 * 2048;
}

int ProgressPercent(long long copiedBytes, long long totalBytes) {
    if (totalBytes <= 0) return -1;
    long long percent = copiedBytes * 100 / totalBytes;
    return percent > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(percent);
}

namespace {

// Where a listed file goes: the name it gets (its directory part dropped,
// its compressed extension mapped back; the driver's INF becomes the OEM
// setup INF in the inf directory), its directory and its whole path, each
// kPathSize bytes. It is worked out before the source is opened, so that a
// name that cannot be installed is refused before anyone is asked for a
// diskette. false, the error shown, when the name or a path is too long.
bool InstallTarget(const char* fileName, const char* sectionName, const char* destDir, char* name, char* targetDir,
                   char* destPath, bool* toInf) {
    std::memcpy(name, fileName, kPathSize);
    bool nameFits = StripDirectory(name) != 0;
    if (nameFits) ExpandCompressedName(name);
    *toInf = false;
    if (nameFits && g_setup.driverInf[0] && PlatEqualNoCase(name, g_setup.driverInf)) {
        *toInf = true;
        if (g_setup.oemInf[0]) {
            std::memcpy(name, g_setup.oemInf, kPathSize);
            nameFits = StripDirectory(name) != 0;
        }
    }
    if (!nameFits) {
        CopyError("File name too long in section %s: %s", sectionName,
                  *toInf && g_setup.oemInf[0] ? g_setup.oemInf : fileName);
        return false;
    }

    bool pathFits = *toInf ? Join(targetDir, "%s\\%s", destDir, "inf") : Join(targetDir, "%s%s", destDir, "");
    pathFits = pathFits && Join(destPath, "%s\\%s", targetDir, name) && std::strlen(destPath) <= kMaxLzPath &&
               std::strlen(targetDir) + kTempNameLength <= kMaxLzPath;
    if (!pathFits) {
        CopyError("Path too long in section %s: %s", sectionName, name);
        return false;
    }
    return true;
}

}  // namespace

int CopyFileList(PlatWindow page, const char* text, long position, const char* sectionName, const char* sourceDir,
                 const char* destDir) {
    char line[kLineSize];
    char label[kPathSize] = "";
    for (;;) {
        int read = ReadSectionLine(text, line, &position);
        if (read == kLineEnd) break;
        if (read == kLineTooLong) {
            CopyError("Line too long in section %s: %s", sectionName, line);
            continue;
        }
        if (IsBlankLine(line)) continue;

        CopyEntry entry;
        SplitCopyLine(line, &entry);
        if (entry.fileName[0] == '\0') {
            CopyError("Missing file name in section %s", sectionName);
            continue;
        }
        char sourcePath[kPathSize];
        if (!Join(sourcePath, "%s\\%s", sourceDir, entry.fileName) || std::strlen(sourcePath) > kMaxLzPath) {
            CopyError("Path too long in section %s: %s", sectionName, entry.fileName);
            continue;
        }

        char name[kPathSize];
        char targetDir[kPathSize];
        char destPath[kPathSize];
        bool toInf = false;
        if (!InstallTarget(entry.fileName, sectionName, destDir, name, targetDir, destPath, &toInf)) continue;

        // The status lines show both paths in lower case; the file keeps
        // the case of its name.
        char shownSource[kPathSize];
        char shownDest[kPathSize];
        std::memcpy(shownSource, sourcePath, sizeof shownSource);
        std::memcpy(shownDest, destPath, sizeof shownDest);
        PlatLowerCase(shownSource);
        PlatLowerCase(shownDest);
        if (!IsSafeFileName(name)) {
            CopyError("Can't copy file: %s", shownDest);
            continue;
        }

        bool cancelled = false;
        bool labelTooLong = false;
        PlatLz source = OpenSource(page, sourcePath, entry.diskId, label, &cancelled, &labelTooLong);
        if (cancelled) return 2;
        if (labelTooLong) {
            CopyError("Diskette label too long for disk %s", entry.diskId);
            label[0] = '\0';
            continue;
        }
        if (toInf) PlatCreateDirectory(targetDir);

        char status[kPathSize + 16];
        PlatFormatText(status, sizeof status, "Copy : %s", shownSource);
        PlatSetItemText(page, IDC_STATUS_SOURCE, status);
        PlatFormatText(status, sizeof status, "To : %s", shownDest);
        PlatSetItemText(page, IDC_STATUS_DEST, status);

        long long result = PLAT_LZ_ERROR_READ;
        if (source >= 0) {
            result = CopyIntoGroup(source, sourcePath, destPath, targetDir, shownDest);
            PlatLzClose(source);
        }
        if (result < 0) CopyError("Can't copy file: %s", shownDest);

        g_setup.copiedBytes += RoundedCopySize(result);
        int percent = ProgressPercent(g_setup.copiedBytes, g_setup.totalBytes);
        if (percent >= 0 && g_setup.progressBar) PlatSetProgressPos(g_setup.progressBar, percent);
    }
    CommitGroup();
    return 1;
}

void InstallFiles(PlatWindow page) {
    PlatSetItemText(page, IDC_STATUS_SOURCE, "");
    PlatSetItemText(page, IDC_STATUS_DEST, "");
    if (g_setup.sourceDirTooLong) {
        g_setup.setupTextMissing = 1;
        ShowError("Setup can't read its files: the path of the directory it was started from is too long.");
        return;
    }
    if (!LoadSetupText()) {
        g_setup.setupTextMissing = 1;
        ShowError("Not enough memory to process Setup Information file.");
        return;
    }
    PlatGetProfileString("Product", "DriverInf", nullptr, g_setup.driverInf, sizeof g_setup.driverInf,
                         g_setup.setupFile);
    PlatGetProfileString("Product", "OemsetupInf", nullptr, g_setup.oemInf, sizeof g_setup.oemInf, g_setup.setupFile);

    static const struct {
        const char* header;
        const char* destination;
    } kLists[] = {{"[WindowsDir]", g_setup.windowsDir}, {"[SystemDir]", g_setup.systemDir}};
    for (const auto& list : kLists) {
        long position = FindSection(g_setupText.bytes, g_setupText.length, list.header);
        if (position == -1) {
            ShowErrorF("Can't find section: %s", list.header);
            return;
        }
        CopyFileList(page, g_setupText.bytes, position, list.header, g_setup.sourceDir, list.destination);
    }

    PlatSetItemText(page, IDC_STATUS_SOURCE, "");
    PlatSetItemText(page, IDC_STATUS_DEST, "");
}
