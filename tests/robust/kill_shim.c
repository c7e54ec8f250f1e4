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
 *                      holds, and the tests run many times faster.
 *
 * Calls made inside the C library (stdio's own writes of the transcript) are
 * not seen, which is what the tests want: only the installer's file output
 * counts. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static long g_calls;
static long g_killAt = -1;
static int g_tear;
static int g_noSync;
static int g_log = -1;
static const char* g_snapshotDir;
static int g_ready;

static ssize_t (*g_realWrite)(int, const void*, size_t);
static int (*g_realRename)(const char*, const char*);
static int (*g_realFsync)(int);
static int (*g_realFdatasync)(int);

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
    if (Setting("ROBUST_LOG")) g_log = open(Setting("ROBUST_LOG"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_snapshotDir = Setting("ROBUST_SNAPSHOT");
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
    int out = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

ssize_t write(int fd, const void* data, size_t size) {
    Setup();
    if (!IsRegular(fd) || fd == g_log) return g_realWrite(fd, data, size);
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    if (Count("write", path, NULL)) {
        if (g_tear && size > 1) g_realWrite(fd, data, size / 2);
        Die();
    }
    return g_realWrite(fd, data, size);
}

int rename(const char* from, const char* to) {
    if (Count("rename", from, to)) Die();
    return g_realRename(from, to);
}

static int Sync(const char* call, int (*real)(int), int fd) {
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    if (Count(call, path, NULL)) Die();
    int result = g_noSync ? 0 : real(fd);
    if (result == 0) Snapshot(fd, path);
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
