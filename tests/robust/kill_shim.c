/* Loaded into the vsetup program (LD_PRELOAD) by the crash tests: stops it
 * dead at an exact point of its file output, as a power cut or a kill would.
 *
 * It counts the program's calls of write on regular files and of
 * rename, fsync and fdatasync, and reads its settings from the environment:
 *
 *   ROBUST_KILL_AT=N   raise SIGKILL at the Nth counted call, before it
 *                      happens;
 *   ROBUST_SIGNAL=S    ... or signal S instead of SIGKILL;
 *   ROBUST_TEAR=1      ... except that a write of more than one byte is
 *                      carried out halfway first (a torn write);
 *   ROBUST_LOG=FILE    append one line per counted call to FILE:
 *                      "<n> <call> <path> [<second path>]";
 *   ROBUST_SNAPSHOT=DIR after each successful fsync of a file named
 *                      registry.reg or SYSTEM.VSJ (the journal of
 *                      SYSTEM.DAT), copy it to DIR/<n>: what that flush
 *                      made durable;
 *   ROBUST_NO_SYNC=1   count the syncs but leave them to the kernel: a kill,
 *                      unlike a power cut, loses nothing the page cache
 *                      holds, and the tests run many times faster;
 *   ROBUST_TRACE=FILE  append every change the program makes to the file
 *                      system to FILE, one tab-separated line a call, with
 *                      the bytes written appended to FILE.data (see
 *                      crash_states.py, which replays it):
 *                        new INODE PATH        O_CREAT made a file
 *                        trunc INODE SIZE PATH  O_TRUNC or ftruncate
 *                        write INODE OFFSET LENGTH DATA-OFFSET PATH
 *                        fsync INODE PATH      fsync or fdatasync of a file
 *                        dirsync PATH          ... of a directory
 *                        syncfs
 *                        rename INODE FROM TO  INODE is FROM's file
 *                        unlink PATH, mkdir PATH, rmdir PATH
 *                      Files are told apart by inode, so that their data
 *                      follows them across renames; paths are as the
 *                      program gives them, or as /proc names an open file. The calls the program
 *                      reaches are these (nm -D): open, write, pwrite,
 *                      ftruncate, fsync, fdatasync, rename, unlink, mkdir,
 *                      rmdir; syncfs is traced for a program that adds it.
 *                      The programs it starts (mtools, qemu-io: posix_spawn,
 *                      posix_spawnp, execve, with an environment of their
 *                      own) get the shim and these two settings back, so
 *                      their changes are traced as well (never counted). A
 *                      write's data and line go in under a lock of FILE.data.
 *
 * Calls made inside the C library (stdio's own writes of the transcript) are
 * not seen, which is what the tests want: only the installer's file output
 * counts. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static long g_calls;
static long g_killAt = -1;
static int g_tear;
static int g_noSync;
static int g_log = -1;
static int g_trace = -1;
static int g_traceData = -1;
static const char* g_snapshotDir;
static int g_ready;

static ssize_t (*g_realWrite)(int, const void*, size_t);
static int (*g_realRename)(const char*, const char*);
static int (*g_realFsync)(int);
static int (*g_realFdatasync)(int);

/* The calls the shim makes for itself or passes on go straight to the
 * kernel, past the wrappers below. */
static int RawOpen(const char* path, int flags, int mode) {
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

/* The setting's value, or NULL when it is unset or empty. */
static const char* Setting(const char* name) {
    const char* value = getenv(name);
    return value && *value ? value : NULL;
}

static void Setup(void) {
    if (g_ready) return;
    g_realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    g_realRename = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    g_realFsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    g_realFdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    if (Setting("ROBUST_KILL_AT")) g_killAt = atol(Setting("ROBUST_KILL_AT"));
    g_tear = Setting("ROBUST_TEAR") && strcmp(Setting("ROBUST_TEAR"), "1") == 0;
    g_noSync = Setting("ROBUST_NO_SYNC") && strcmp(Setting("ROBUST_NO_SYNC"), "1") == 0;
    if (Setting("ROBUST_LOG")) g_log = RawOpen(Setting("ROBUST_LOG"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_snapshotDir = Setting("ROBUST_SNAPSHOT");
    if (Setting("ROBUST_TRACE")) {
        char data[PATH_MAX];
        snprintf(data, sizeof data, "%s.data", Setting("ROBUST_TRACE"));
        g_trace = RawOpen(Setting("ROBUST_TRACE"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        g_traceData = RawOpen(data, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    g_ready = 1;
}

__attribute__((constructor)) static void Init(void) { Setup(); }

/* Writes straight to the kernel, past our own write. */
static void RawWrite(int fd, const char* data, size_t size) {
    while (size > 0) {
        long n = syscall(SYS_write, fd, data, size);
        if (n <= 0) return;
        data += n;
        size -= (size_t)n;
    }
}

static void PathOf(int fd, char* out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n < 0 ? 0 : n] = '\0';
}

static int IsRegular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

static void Log(const char* call, const char* path, const char* second) {
    if (g_log < 0) return;
    char line[2 * PATH_MAX + 64];
    int n =
        snprintf(line, sizeof line, "%ld %s %s%s%s\n", g_calls, call, path, second ? " " : "", second ? second : "");
    if (n > 0) RawWrite(g_log, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

/* Counts one call; returns 1 when this is the call to die at. */
static int Count(const char* call, const char* path, const char* second) {
    Setup();
    ++g_calls;
    Log(call, path, second);
    return g_calls == g_killAt;
}

static void Die(void) {
    syscall(SYS_kill, getpid(), Setting("ROBUST_SIGNAL") ? atoi(Setting("ROBUST_SIGNAL")) : SIGKILL);
    _exit(137); /* not reached */
}

static void Snapshot(int fd, const char* path) {
    size_t length = strlen(path);
    if (!g_snapshotDir) return;
    if ((length < 13 || strcmp(path + length - 13, "/registry.reg") != 0) &&
        (length < 11 || strcmp(path + length - 11, "/SYSTEM.VSJ") != 0))
        return;
    char name[PATH_MAX];
    snprintf(name, sizeof name, "%s/%ld", g_snapshotDir, g_calls);
    int out = RawOpen(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return;
    char buffer[65536];
    off_t at = 0;
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof buffer, at)) > 0) {
        RawWrite(out, buffer, (size_t)n);
        at += n;
    }
    close(out);
}

/* One line of the trace, its words apart by tabs. */
static void Trace(const char* format, ...) {
    if (g_trace < 0) return;
    char line[2 * PATH_MAX + 96];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n <= 0 || n >= (int)sizeof line - 1) return;
    line[n] = '\n';
    RawWrite(g_trace, line, (size_t)n + 1);
}

static unsigned long InodeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? (unsigned long)st.st_ino : 0;
}

/* Where a write on fd lands: the end of the file for an appending one. */
static off_t OffsetOf(int fd) {
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_APPEND) && fstat(fd, &st) == 0) return st.st_size;
    return lseek(fd, 0, SEEK_CUR);
}

static void TraceWrite(int fd, const void* data, ssize_t n, off_t offset) {
    struct stat st;
    if (g_trace < 0 || n <= 0 || !IsRegular(fd) || fstat(g_traceData, &st) != 0) return;
    flock(g_traceData, LOCK_EX);
    fstat(g_traceData, &st);
    RawWrite(g_traceData, data, (size_t)n);
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    Trace("write\t%lu\t%lld\t%zd\t%lld\t%s", InodeOf(fd), (long long)offset, n, (long long)st.st_size, path);
    flock(g_traceData, LOCK_UN);
}

ssize_t write(int fd, const void* data, size_t size) {
    Setup();
    if (!IsRegular(fd) || fd == g_log) return g_realWrite(fd, data, size);
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    if (Count("write", path, NULL)) {
        if (g_tear && size > 1) g_realWrite(fd, data, size / 2);
        Die();
    }
    off_t at = g_trace >= 0 ? OffsetOf(fd) : 0;
    ssize_t n = g_realWrite(fd, data, size);
    TraceWrite(fd, data, n, at);
    return n;
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    Setup();
    ssize_t n = syscall(SYS_pwrite64, fd, data, size, offset);
    TraceWrite(fd, data, n, offset);
    return n;
}

int open(const char* path, int flags, ...) {
    Setup();
    int mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, int);
        va_end(args);
    }
    struct stat st;
    int existed = g_trace >= 0 && stat(path, &st) == 0;
    int fd = RawOpen(path, flags, mode);
    if (fd < 0 || g_trace < 0 || !IsRegular(fd)) return fd;
    char full[PATH_MAX];
    PathOf(fd, full, sizeof full);
    if ((flags & O_CREAT) && !existed) {
        Trace("new\t%lu\t%s", InodeOf(fd), full);
    } else if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY) {
        Trace("trunc\t%lu\t0\t%s", InodeOf(fd), full);
    }
    return fd;
}

int ftruncate(int fd, off_t length) {
    Setup();
    int result = (int)syscall(SYS_ftruncate, fd, length);
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    if (result == 0) Trace("trunc\t%lu\t%lld\t%s", InodeOf(fd), (long long)length, path);
    return result;
}

int rename(const char* from, const char* to) {
    if (Count("rename", from, to)) Die();
    struct stat st;
    unsigned long inode = lstat(from, &st) == 0 ? (unsigned long)st.st_ino : 0;
    int result = g_realRename(from, to);
    if (result == 0) Trace("rename\t%lu\t%s\t%s", inode, from, to);
    return result;
}

/* unlink, mkdir and rmdir: the call, then its line when it did its work. */
static int TraceName(const char* call, const char* path, int result) {
    if (result == 0) Trace("%s\t%s", call, path);
    return result;
}

int unlink(const char* path) {
    Setup();
    return TraceName("unlink", path, (int)syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

int mkdir(const char* path, mode_t mode) {
    Setup();
    return TraceName("mkdir", path, (int)syscall(SYS_mkdirat, AT_FDCWD, path, mode));
}

int rmdir(const char* path) {
    Setup();
    return TraceName("rmdir", path, (int)syscall(SYS_unlinkat, AT_FDCWD, path, AT_REMOVEDIR));
}

int syncfs(int fd) {
    Setup();
    int result = g_noSync ? 0 : (int)syscall(SYS_syncfs, fd);
    if (result == 0) Trace("syncfs");
    return result;
}

static int Sync(const char* call, int (*real)(int), int fd) {
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    if (Count(call, path, NULL)) Die();
    int result = g_noSync ? 0 : real(fd);
    if (result == 0) Snapshot(fd, path);
    struct stat st;
    if (result == 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        Trace("dirsync\t%s", path);
    } else if (result == 0) {
        Trace("fsync\t%lu\t%s", InodeOf(fd), path);
    }
    return result;
}

int fsync(int fd) {
    Setup();
    return Sync("fsync", g_realFsync, fd);
}

int fdatasync(int fd) {
    Setup();
    return Sync("fdatasync", g_realFdatasync, fd);
}

/* envp with the shim's tracing settings put back in (a new array), or envp
 * itself when not tracing. */
static char* const* Traced(char* const envp[]) {
    static const char* const names[] = {"LD_PRELOAD", "ROBUST_TRACE", "ROBUST_NO_SYNC"};
    Setup();
    if (g_trace < 0) return envp;
    size_t n = 0;
    while (envp && envp[n]) ++n;
    char** out = calloc(n + 4, sizeof *out);
    size_t m = 0;
    for (size_t i = 0; i < n; ++i)
        if (strncmp(envp[i], "LD_PRELOAD=", 11) != 0 && strncmp(envp[i], "ROBUST_", 7) != 0) out[m++] = envp[i];
    for (size_t i = 0; i < 3; ++i) {
        if (!Setting(names[i])) continue;
        out[m] = malloc(strlen(names[i]) + strlen(Setting(names[i])) + 2);
        sprintf(out[m++], "%s=%s", names[i], Setting(names[i]));
    }
    return out;
}

typedef int (*Spawn)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const[],
                     char* const[]);

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
    Spawn real = (Spawn)dlsym(RTLD_NEXT, "posix_spawn");
    return real(pid, path, actions, attributes, argv, Traced(envp));
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
    Spawn real = (Spawn)dlsym(RTLD_NEXT, "posix_spawnp");
    return real(pid, file, actions, attributes, argv, Traced(envp));
}

int execve(const char* path, char* const argv[], char* const envp[]) {
    int (*real)(const char*, char* const[], char* const[]) =
        (int (*)(const char*, char* const[], char* const[]))dlsym(RTLD_NEXT, "execve");
    return real(path, argv, Traced(envp));
}
