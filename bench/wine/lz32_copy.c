/* Expands files with LZ32's LZCopy, as a Windows program gets it, and tells
 * how long the copies took by the performance counter.
 *
 *   lz32_copy LIST
 *
 * LIST holds one "source<TAB>destination" line per file, in host form
 * ("/dir/name"); the files are reached through the Z: drive, which Wine maps
 * to the host's root. Prints "<files> <bytes> <seconds>"; exits non-zero when
 * a file cannot be opened or expanded. */
#include <windows.h>
#include <lzexpand.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_FILES 4096

static int ToWindows(const char* host, char* out, size_t size) {
    /* OpenFile keeps at most OFS_MAXPATHNAME bytes of a name. */
    if (strlen(host) + 3 > size || strlen(host) + 3 > OFS_MAXPATHNAME) return 0;
    snprintf(out, size, "Z:%s", host);
    for (char* p = out; *p; ++p)
        if (*p == '/') *p = '\\';
    return 1;
}

static char sources[MAX_FILES][OFS_MAXPATHNAME];
static char destinations[MAX_FILES][OFS_MAXPATHNAME];

int main(int argc, char** argv) {
    char list_path[MAX_PATH];
    if (argc != 2 || !ToWindows(argv[1], list_path, sizeof list_path)) {
        fprintf(stderr, "usage: lz32_copy LIST\n");
        return 2;
    }
    FILE* list = fopen(list_path, "r");
    if (!list) {
        fprintf(stderr, "lz32_copy: cannot read %s\n", list_path);
        return 2;
    }
    int count = 0;
    char line[1024];
    while (fgets(line, sizeof line, list) && count < MAX_FILES) {
        line[strcspn(line, "\r\n")] = '\0';
        char* tab = strchr(line, '\t');
        if (!tab) continue;
        *tab = '\0';
        if (!ToWindows(line, sources[count], sizeof sources[count]) ||
            !ToWindows(tab + 1, destinations[count], sizeof destinations[count])) {
            fprintf(stderr, "lz32_copy: path too long: %s\n", line);
            return 2;
        }
        ++count;
    }
    fclose(list);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    long long total = 0;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) {
        OFSTRUCT source_info, dest_info;
        INT source = LZOpenFileA(sources[i], &source_info, OF_READ);
        INT dest = LZOpenFileA(destinations[i], &dest_info, OF_CREATE);
        if (source < 0 || dest < 0) {
            fprintf(stderr, "lz32_copy: cannot open %s or %s\n", sources[i], destinations[i]);
            return 1;
        }
        LONG copied = LZCopy(source, dest);
        LZClose(source);
        LZClose(dest);
        if (copied < 0) {
            fprintf(stderr, "lz32_copy: LZCopy failed on %s: %ld\n", sources[i], (long)copied);
            return 1;
        }
        total += copied;
    }
    QueryPerformanceCounter(&end);
    printf("%d %lld %.6f\n", count, total, (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    return 0;
}
