#include "installer/setupinfo/setup_text.h"

#include <cstdlib>
#include <cstring>

#include "installer/core/setup_state.h"

SetupText g_setupText;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Turns raw "setup.dat" bytes into the comment-free text, one piece at a
// time. A comment runs from a semicolon up to the line end, which stays, so a
// comment never joins two lines. Reading stops at the first 0x1A byte.
struct TextBuilder {
    char* out;
    long capacity;  // bytes the text may hold, end marker excluded
    long length = 0;
    bool inComment = false;
    bool pendingCr = false;  // a CR inside a comment, kept if LF follows
    bool ended = false;

    void Feed(const char* data, size_t size) {
        for (size_t i = 0; i < size && !ended; ++i) {
            char c = data[i];
            if (static_cast<unsigned char>(c) == kEndMarker) {
                ended = true;
                break;
            }
            if (inComment) {
                if (c == '\n') {
                    if (pendingCr) Append('\r');
                    Append('\n');
                    inComment = false;
                }
                pendingCr = (c == '\r');
                continue;
            }
            if (c == ';') {
                inComment = true;
                pendingCr = false;
                continue;
            }
            Append(c);
        }
    }

    void Append(char c) {
        if (length < capacity) {
            out[length++] = c;
        } else {
            ended = true;
        }
    }

    void Finish() {
        out[length++] = static_cast<char>(kEndMarker);
        g_setupText.bytes = out;
        g_setupText.length = length;
    }
};

// Size of each read from the file.
const size_t kReadChunk = 64 * 1024;

}  // namespace

int LoadSetupTextFromMemory(const char* data, size_t size) {
    ReleaseSetupText();
    char* block = static_cast<char*>(std::malloc(size + 1));
    if (!block) return 0;
    TextBuilder builder{block, static_cast<long>(size)};
    builder.Feed(data, size);
    builder.Finish();
    return 1;
}

int LoadSetupText() {
    ReleaseSetupText();
    PlatFile file = PlatFileOpenRead(g_setup.setupFile);
    if (file == PLAT_NO_FILE) return 0;
    long long size = PlatFileSize(file);
    // The text and its length are addressed with long; refuse what does not fit.
    if (size < 0 || size > 0x7FFFFFF0LL) {
        PlatFileClose(file);
        return 0;
    }
    char* buffer = static_cast<char*>(std::malloc(kReadChunk));
    char* block = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
    if (!buffer || !block) {
        std::free(buffer);
        std::free(block);
        PlatFileClose(file);
        return 0;
    }
    TextBuilder builder{block, static_cast<long>(size)};
    while (!builder.ended) {
        // A failed read ends the text where it stands.
        long got = PlatFileRead(file, buffer, kReadChunk);
        if (got <= 0) break;
        builder.Feed(buffer, static_cast<size_t>(got));
    }
    PlatFileClose(file);
    std::free(buffer);
    builder.Finish();
    return 1;
}

void ReleaseSetupText() {
    std::free(g_setupText.bytes);
    g_setupText.bytes = nullptr;
    g_setupText.length = 0;
}

long FindSection(const char* text, long length, const char* header) {
    if (!text || length <= 0) return -1;
    const long n = static_cast<long>(std::strlen(header));
    long lineStart = 0;
    while (lineStart < length) {
        long i = lineStart;
        while (i < length && IsBlank(text[i])) ++i;
        if (i + n <= length && std::memcmp(text + i, header, static_cast<size_t>(n)) == 0) {
            long p = i + n;
            while (p < length && text[p] != '\n' && static_cast<unsigned char>(text[p]) != kEndMarker) ++p;
            if (p < length && text[p] == '\n') return p + 1;
            return p;  // the end marker: the section reads as empty
        }
        const void* lf = std::memchr(text + i, '\n', static_cast<size_t>(length - i));
        if (!lf) break;
        lineStart = static_cast<const char*>(lf) - text + 1;
    }
    return -1;
}

int ReadSectionLine(const char* text, char* line, long* position) {
    long p = *position;
    // A "[" that opens a line (after blanks) starts the next section.
    long q = p;
    while (IsBlank(text[q])) ++q;
    if (text[q] == '[' || static_cast<unsigned char>(text[q]) == kEndMarker) {
        *position = q;
        line[0] = '\0';
        return kLineEnd;
    }
    long used = 0;
    bool tooLong = false;
    for (;;) {
        char c = text[p];
        if (static_cast<unsigned char>(c) == kEndMarker) break;  // a last line without line end
        ++p;
        if (used < kLineSize - 1) {
            line[used++] = c;
        } else {
            tooLong = true;
        }
        if (c == '\n') break;
    }
    line[used] = '\0';
    *position = p;
    return tooLong ? kLineTooLong : kLineRead;
}

int IsBlankLine(const char* line) {
    while (IsBlank(*line)) ++line;
    return *line == '\r' || *line == '\n' || *line == '\0';
}
