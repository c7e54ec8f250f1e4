#include "installer/setupinfo/fields.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool EndsLine(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// Where NextRegField goes on when it is given no line.
const char* g_regCursor = nullptr;

}  // namespace

long NextCopyToken(const char* line, char* out, long start) {
    const long length = static_cast<long>(std::strlen(line));
    long p = start;
    while (p < length && IsBlank(line[p])) ++p;
    long used = 0;
    while (p < length) {
        char c = line[p];
        if (EndsLine(c)) {
            out[used] = '\0';
            return -1;
        }
        ++p;
        if (c == ',' || IsBlank(c)) {
            out[used] = '\0';
            return p;
        }
        if (used < 255) out[used++] = c;
    }
    out[used] = '\0';
    return p;
}

void SplitCopyLine(const char* line, CopyEntry* entry) {
    char first[256];
    long next = NextCopyToken(line, first, 0);
    entry->diskId[0] = first[0];
    entry->diskId[1] = '\0';
    if (next == -1) {
        entry->fileName[0] = '\0';
    } else {
        NextCopyToken(line, entry->fileName, next);
    }
}

int NextRegField(const char* line, char* out, unsigned outSize, char delimiter, int* tooLong) {
    if (line) g_regCursor = line;
    unsigned used = 0;
    bool quoted = false;
    int result = 0;
    for (;;) {
        char c = *g_regCursor;
        // The cursor never moves past the end of the line.
        if (EndsLine(c)) {
            result = 0;
            break;
        }
        ++g_regCursor;
        if (!quoted && IsBlank(c)) continue;
        if (!quoted && c == delimiter) {
            result = 1;
            break;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (used + 1 < outSize) {
            out[used++] = c;
        } else if (tooLong) {
            *tooLong = 1;
        }
    }
    out[used] = '\0';
    return result;
}

int SplitRegLine(const char* line, RegEntry* entry, const char** overlongField) {
    *overlongField = nullptr;
    // A root keyword is at most four characters; a longer root field must
    // match none, so it is read whole and dropped.
    char root[256];
    if (!NextRegField(line, root, sizeof root, ',', nullptr)) {
        if (std::strlen(root) < sizeof entry->root) std::strcpy(entry->root, root);
        return 1;
    }
    if (std::strlen(root) < sizeof entry->root) std::strcpy(entry->root, root);
    if (!NextRegField(nullptr, entry->subkey, sizeof entry->subkey, ',', nullptr)) return 2;
    int nameTooLong = 0;
    int more = NextRegField(nullptr, entry->valueName, sizeof entry->valueName, ',', &nameTooLong);
    if (nameTooLong) *overlongField = "value name";
    if (!more) return 3;
    // The flags are never used; a longer field is cut to what the record holds.
    if (!NextRegField(nullptr, entry->flags, sizeof entry->flags, ',', nullptr)) return 4;
    NextRegField(nullptr, entry->value, sizeof entry->value, ',', nullptr);
    return 5;
}
