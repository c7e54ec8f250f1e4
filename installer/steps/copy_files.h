// The copy step: [WindowsDir] and [SystemDir] into their directories.
#ifndef VSETUP_INSTALLER_STEPS_COPY_FILES_H
#define VSETUP_INSTALLER_STEPS_COPY_FILES_H

#include <cstddef>

#include "platform/platform.h"

// The LZ service opens files through a record that holds 128 bytes of path:
// longer source and destination paths can never be opened.
const size_t kMaxLzPath = PLAT_LZ_MAX_PATH - 1;
// A temporary file's name in the destination directory, backslash included.
const size_t kTempNameLength = 13;

// Loads the setup text and copies [WindowsDir], then [SystemDir], asking for
// diskettes and reporting every file that cannot be installed.
void InstallFiles(PlatWindow page);
// 1 when the section was worked through, 2 when a diskette prompt was cancelled.
int CopyFileList(PlatWindow page, const char* text, long position, const char* sectionName, const char* sourceDir,
                 const char* destDir);
// Keeps what follows the last backslash or slash. 0 when that part does not
// fit in 128 bytes (name left unchanged), 1 otherwise.
int StripDirectory(char* name);
// out (256 bytes) receives what follows the last dot, or the empty text.
void GetExtension(const char* name, char* out);
// Gives a compressed file's name ("card.dr_") its installed extension back
// from the table of known extensions; other names stay as they are.
void ExpandCompressedName(char* name);
// Non-zero when name is a plain file name that stays in its directory.
int IsSafeFileName(const char* name);
// The progress position after copiedBytes of totalBytes, or -1 for "send none".
int ProgressPercent(long long copiedBytes, long long totalBytes);
// A copy result rounded up to a multiple of 2048; negative results count 0.
long long RoundedCopySize(long long result);

#endif
