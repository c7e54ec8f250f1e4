// The few C library routines the installer calls, for a program that loads
// no C runtime DLL.
//
// A clean Windows 95 has no MSVCRT.DLL, so VSETUP.EXE links no C library at
// all: the memory and string routines below are written out, and memory
// blocks come from the process heap of KERNEL32. Each behaves as the C
// standard says for every input the installer gives it.
//
// This file is compiled without the compiler's built-in knowledge of these
// routines, so that a loop here never becomes a call to itself.
#include <windows.h>

#include <cstddef>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    const unsigned char* in = static_cast<const unsigned char*>(source);
    while (count--) *out++ = *in++;
    return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    const unsigned char* in = static_cast<const unsigned char*>(source);
    if (out < in) {
        while (count--) *out++ = *in++;
    } else if (out > in) {
        out += count;
        in += count;
        while (count--) *--out = *--in;
    }
    return destination;
}

void* memset(void* destination, int value, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    while (count--) *out++ = static_cast<unsigned char>(value);
    return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(a);
    const unsigned char* q = static_cast<const unsigned char*>(b);
    for (; count; --count, ++p, ++q) {
        if (*p != *q) return *p < *q ? -1 : 1;
    }
    return 0;
}

void* memchr(const void* text, int value, size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(text);
    for (; count; --count, ++p) {
        if (*p == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(p);
    }
    return nullptr;
}

size_t strlen(const char* text) {
    const char* end = text;
    while (*end) ++end;
    return static_cast<size_t>(end - text);
}

// Byte for byte, as unsigned characters: lstrcmpA would sort by the user's
// locale instead.
int strcmp(const char* a, const char* b) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    while (*p && *p == *q) ++p, ++q;
    return *p == *q ? 0 : (*p < *q ? -1 : 1);
}

char* strcpy(char* destination, const char* source) {
    char* out = destination;
    while ((*out++ = *source++) != '\0') {
    }
    return destination;
}

char* strrchr(const char* text, int value) {
    const char wanted = static_cast<char>(value);
    const char* found = nullptr;
    for (;; ++text) {
        if (*text == wanted) found = text;
        if (*text == '\0') break;
    }
    return const_cast<char*>(found);
}

// Leading white space, an optional sign, then decimal digits up to the first
// other character; 0 when there are none.
int atoi(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    unsigned value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<unsigned>(*text - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

void* malloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }

void free(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // extern "C"
