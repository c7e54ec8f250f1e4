// The one narrow interface between the installer and the operating system.
//
// Every service the installer needs goes through these functions. Two backends
// implement them: platform/host (Linux, installing into a Windows system tree
// called the prefix) and platform/win32 (the real Win32 API). CMake links
// exactly one of them; they never include each other.
//
// Conventions, the same in both backends:
// - Text is 8-bit in the Windows-1252 (ANSI) code page; paths are in Windows
//   form ("A:\DRIVER\setup.dat", "C:\WINDOWS\SYSTEM"). A bare file name given
//   to the profile services means the file of that name in the Windows
//   directory.
// - Results follow the installer's rules: non-zero is success unless a
//   function says otherwise; registry calls return 0 for success and an error
//   code otherwise, as the Win32 registry does.
#ifndef VSETUP_PLATFORM_H
#define VSETUP_PLATFORM_H

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- start-up

// Prepares the backend (on the host: the prefix skeleton and the registry
// store). Returns non-zero on success. Called once by the program entry before
// anything else here; a failure is reported by the caller.
int PlatStartup();
// Ends the backend's work before the program exits: whatever it still holds
// only in memory is written out (on the host: registry keys that were created
// but never flushed, and a disk image's results), and its files are left
// tidy. Returns 0 when the results could not be kept (the reason is on
// stderr); the caller then ends with a failure.
int PlatShutdown();
// The last start-up failure as one line of text, for the program entry.
const char* PlatStartupError();

// ---------------------------------------------------------------- directories

// The current directory in Windows form, without cutting: returns non-zero
// and fills buffer when it fits in size bytes with its terminating zero,
// otherwise returns 0 and leaves buffer empty.
int PlatGetCurrentDirectory(char* buffer, size_t size);
// The Windows and System directories, as GetWindowsDirectoryA and
// GetSystemDirectoryA report them ("C:\WINDOWS", "C:\WINDOWS\SYSTEM").
void PlatGetWindowsDirectory(char* buffer, size_t size);
void PlatGetSystemDirectory(char* buffer, size_t size);
// Creates one directory; an existing directory counts as success.
int PlatCreateDirectory(const char* path);

// ---------------------------------------------------------------- text rules

// Comparison without regard to case and lower-casing, by the rules of the
// ANSI code page (lstrcmpiA's equality, CharLowerA).
int PlatEqualNoCase(const char* a, const char* b);
void PlatLowerCase(char* text);

// wvsprintfA: formats with the directives %s, %c and %04d into out (size
// bytes, size > 0) and always terminates it. Returns the length, or -1 when
// the text did not fit (out then holds as much as fits).
int PlatFormatText(char* out, size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// ---------------------------------------------------------------- profile files

// GetPrivateProfileStringA: the value of key in section of file, cut to
// size - 1 bytes plus a zero; defaultValue (may be the buffer itself, or
// null for the empty text) when the file, section or key is absent.
// Returns the number of bytes copied, without the zero.
size_t PlatGetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer, size_t size,
                            const char* file);
// GetPrivateProfileIntA: the value read as a decimal integer, or default_value.
int PlatGetProfileInt(const char* section, const char* key, int defaultValue, const char* file);
// WritePrivateProfileStringA: creates or replaces the key; the file is
// replaced whole or not at all. Returns non-zero on success.
int PlatWriteProfileString(const char* section, const char* key, const char* value, const char* file);

// ---------------------------------------------------------------- registry

typedef void* PlatKey;
#define PLAT_HKEY_CLASSES_ROOT ((PlatKey)(uintptr_t)0x80000000u)
#define PLAT_HKEY_LOCAL_MACHINE ((PlatKey)(uintptr_t)0x80000002u)
#define PLAT_KEY_READ 0x20019u
#define PLAT_KEY_ALL_ACCESS 0xF003Fu
#define PLAT_REG_SZ 1u
#define PLAT_REG_BINARY 3u

// RegOpenKeyExA: opens an existing key. 0 on success.
long PlatRegOpenKey(PlatKey parent, const char* path, unsigned access, PlatKey* key);
// RegCreateKeyA: opens the key, creating it and any missing keys on the way;
// an empty or null path yields a handle to parent itself. 0 on success.
long PlatRegCreateKey(PlatKey parent, const char* path, PlatKey* key);
// RegSetValueExA. 0 on success.
long PlatRegSetValue(PlatKey key, const char* name, unsigned type, const void* data, size_t size);
// RegFlushKey: once it returns 0, what was set on the key survives a crash.
long PlatRegFlushKey(PlatKey key);
long PlatRegCloseKey(PlatKey key);

// ---------------------------------------------------------------- files

typedef intptr_t PlatFile;
#define PLAT_NO_FILE ((PlatFile)-1)

// Opens a file for reading, denying write access to others (_lopen).
PlatFile PlatFileOpenRead(const char* path);
// The size of the open file in bytes, or -1.
long long PlatFileSize(PlatFile file);
// Reads up to size bytes; returns the count read, 0 at the end, -1 on error.
long PlatFileRead(PlatFile file, void* buffer, size_t size);
void PlatFileClose(PlatFile file);
// Deletes a file; non-zero on success.
int PlatDeleteFile(const char* path);
// Makes a new, empty file with a unique name in directory and puts its path
// in pathOut (size bytes). Non-zero on success.
int PlatCreateTempFile(const char* directory, char* pathOut, size_t size);
// Checks that the complete file source may take the place of destination
// (a directory or a read-only file there is refused) and gives source what
// it must keep of the file it replaces (owner, group and mode). Non-zero
// when PlatReplaceFile may follow.
int PlatPrepareReplace(const char* source, const char* destination);
// Puts the data of the count files at paths on stable storage, together
// once all of them are written. Non-zero on success; on failure none of them
// counts as synced.
int PlatSyncFiles(const char* const* paths, int count);
// Puts the complete file source in the place of destination (replacing an
// existing destination), with PlatPrepareReplace's checks made again; on
// failure destination is as it was. The new name survives a crash once
// PlatSyncDirectory has returned for its directory. Non-zero on success.
int PlatReplaceFile(const char* source, const char* destination);
// Makes the names created, renamed and removed in directory survive a crash,
// where the system can sync a directory. Non-zero on success.
int PlatSyncDirectory(const char* directory);

// ---------------------------------------------------------------- LZ expansion

typedef intptr_t PlatLz;
// The open failures the installer tells apart.
#define PLAT_LZ_NOT_FOUND ((PlatLz)-1)  // missing, or cannot be opened
// LZ32's error codes, which every LZ service returns (the host's expander
// included).
enum PlatLzError : long {
    PLAT_LZ_ERROR_READ = -2,       // LZERROR_READ: the source cannot be read or is corrupt
    PLAT_LZ_ERROR_WRITE = -4,      // LZERROR_WRITE
    PLAT_LZ_ERROR_GLOBALLOC = -5,  // LZERROR_GLOBALLOC: no memory for the buffers
};

// Paths given to the LZ services must be shorter than this (LZOpenFileA
// keeps them in an OFSTRUCT); longer ones do not open.
#define PLAT_LZ_MAX_PATH 128

// LZOpenFileA for reading (OF_READ | OF_SHARE_DENY_WRITE): a handle, or a
// negative code; PLAT_LZ_NOT_FOUND when the file is missing or cannot be
// opened.
PlatLz PlatLzOpenRead(const char* path);
// LZOpenFileA for writing (OF_CREATE | OF_WRITE | OF_SHARE_EXCLUSIVE):
// creates or truncates path. A handle, or a negative code.
PlatLz PlatLzOpenWrite(const char* path);
// LZCopy: expands an SZDD-compressed source, or copies any other source byte
// for byte. Returns the number of bytes written, or a negative error code.
// The written bytes are on stable storage once PlatSyncFiles has returned
// for the file.
long long PlatLzCopy(PlatLz source, PlatLz destination);
void PlatLzClose(PlatLz handle);

// ---------------------------------------------------------------- processes

// Starts the command line as a new process without waiting (CreateProcessA).
// Non-zero when it started.
int PlatLaunch(const char* commandLine);

// ---------------------------------------------------------------- dialogue

// A window of the front end's: a wizard page, the progress bar. Null is "none".
typedef void* PlatWindow;

// MessageBoxA, owned by the window that has the keyboard focus.
#define PLAT_MB_OK 0x0u
#define PLAT_MB_OKCANCEL 0x1u
#define PLAT_MB_YESNO 0x4u
#define PLAT_MB_ICONERROR 0x10u
#define PLAT_IDOK 1
#define PLAT_IDCANCEL 2
#define PLAT_IDYES 6
#define PLAT_IDNO 7
int PlatMessageBox(const char* text, const char* caption, unsigned style);
// SetDlgItemTextA on control of page.
void PlatSetItemText(PlatWindow page, int control, const char* text);
// Creates the finish page's progress bar (msctls_progress32 at
// kProgressBarRect of resources/resource.h, range 0..100, step 1). Null when
// it cannot be created.
PlatWindow PlatCreateProgressBar(PlatWindow page);
// PBM_SETPOS.
void PlatSetProgressPos(PlatWindow bar, int position);
void PlatDestroyWindow(PlatWindow window);
// SetFocus.
void PlatSetFocus(PlatWindow window);

#endif
