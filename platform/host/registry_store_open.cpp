// Loading the REGEDIT4 store from its file: the strict import, the repair of
// an append cut short, and the check whether the file is in the store's own
// form (see registry_store.h).
#include "platform/host/registry_store.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host_ansi.h"
#include "platform/host/host_io.h"
#include "platform/host/regedit4.h"
#include "platform/host/registry_key_path.h"

using regpath::CanonicalPath;
using regpath::HashNoCase;

namespace {

// Whether text needs no escape in quotes and can be quoted at all.
bool IsPlainText(const std::string& text) {
    for (char c : text)
        if (c == '\\' || c == '"' || c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

// Follows a text from a place while it reads as what the store writes,
// part by part; holds turns false at the first part it does not match.
struct OwnFormCheck {
    const std::string& text;
    size_t at;
    bool holds;

    void Take(const char* part, size_t size) {
        holds = holds && text.size() - at >= size && std::memcmp(text.data() + at, part, size) == 0;
        at += size;
    }
    void Take(const std::string& part) { Take(part.data(), part.size()); }
    // The line the store writes for a plain text value: "name"="data" (or
    // @="data") and CR LF.
    void TakePlainValue(const std::string& name, const std::string& data) {
        if (name.empty()) {
            Take("@", 1);
        } else {
            Take("\"", 1);
            Take(name);
            Take("\"", 1);
        }
        Take("=\"", 2);
        Take(data);
        Take("\"\r\n", 3);
    }
};

// Turns a UTF-16LE file's text (after its byte order mark) into
// Windows-1252. false, with the reason, when a character has no form there.
bool DecodeUtf16(std::string* text, std::string* why) {
    std::string ansi;
    if (!HostUtf16ToAnsi(text->substr(2), &ansi)) {
        // The line of the first character without a Windows-1252 form.
        size_t line = 1;
        std::string decoded;
        for (size_t i = 2; i + 1 < text->size(); i += 2) {
            if (!HostUtf16ToAnsi(text->substr(i, 2), &decoded)) break;
            if (decoded == "\n" || (decoded == "\r" && !(i + 3 < text->size() && (*text)[i + 2] == '\n'))) ++line;
        }
        *why = "cannot be imported: line " + std::to_string(line) +
               " holds text that has no Windows-1252 form, or the file is cut";
        return false;
    }
    text->swap(ansi);
    return true;
}

// An item read ahead of the one taken in, with its key's path and hash.
struct AheadItem {
    Reg4Item item;
    std::string path;
    size_t hash = 0;
};

}  // namespace

bool RegistryStore::Open(const std::string& path, std::string* error, size_t ownFrom) {
    Clear();
    path_ = path;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxFileSize)
        HostPrepareHeapFor(static_cast<size_t>(st.st_size) * 6);  // the store, and the file's text while it loads
    std::string text;
    bool missing = false;
    auto fail = [&](const std::string& why) {
        Clear();
        path_ = path;
        if (error) *error = "the registry file " + path + " " + why;
        return false;
    };
    if (!HostReadWholeFile(path, &text, &missing, kMaxFileSize)) {
        if (missing) return true;
        return fail("cannot be read: " + HostReadError(errno, kMaxFileSize));
    }
    ownFrom_ = ownFrom;
    if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
        std::string why;
        if (!DecodeUtf16(&text, &why)) return fail(why);
        foreign_ = true;
    } else if (text.compare(0, 8, "REGEDIT4") != 0) {
        // A version 5 export, or no registry file at all (refused below).
        foreign_ = !text.empty();
    }
    // What follows the last line end, when the store appended it, is an
    // append cut short: it goes from the file, once the rest has loaded.
    size_t last = text.find_last_of("\r\n");
    size_t tail = last == std::string::npos ? 0 : last + 1;
    bool torn = tail < text.size() && !foreign_ && ownFrom != kNotOwn && tail >= ownFrom;
    if (torn) {
        // A section goes in as a blank line, then its key line: a tear in the
        // key line leaves that blank line, which goes with it.
        if (tail >= ownFrom + 2 && tail >= 4 && text.compare(tail - 4, 4, "\r\n\r\n") == 0) tail -= 2;
        text.resize(tail);
    }
    bool ownForm = false;
    std::string why;
    if (!Import(text, &ownForm, &why)) return fail(why);
    if (torn) {
        int fd = HostOpenForWriting(path, O_WRONLY);
        bool cut = fd >= 0 && ftruncate(fd, static_cast<off_t>(tail)) == 0;
        int code = errno;
        if (fd >= 0) close(fd);
        if (!cut) return fail(std::string("cannot be repaired: ") + strerror(code));
    }
    loadedBytes_ = text.size();
    loadedFromFile_ = !text.empty() && !ownForm;
    return true;
}

// Loads the REGEDIT4 text into the store; *ownForm tells whether it is byte
// for byte what the store writes, so that a rewrite loses nothing of it.
// false, with the reason, at the first line that cannot be imported
// faithfully.
bool RegistryStore::Import(const std::string& text, bool* ownFormOut, std::string* why) {
    Reserve(text.size() / 128);
    Reg4Reader reader(text.data(), text.size(), true);
    // The index is far larger than the processor's caches: items are read
    // a few keys ahead, and each key's slot is fetched while the lines
    // before it are taken in.
    const size_t kRing = 8;
    const size_t kKeysAhead = 3;
    AheadItem ahead[kRing];
    size_t head = 0, count = 0, keysAhead = 0;
    bool more = true;
    Key* current = nullptr;
    // Checked item by item while it holds.
    OwnFormCheck own{text, std::strlen(kReg4Header),
                     !foreign_ && text.compare(0, std::strlen(kReg4Header), kReg4Header) == 0};
    std::string rendered;
    for (;;) {
        while (more && count < kRing && keysAhead < kKeysAhead) {
            AheadItem& next = ahead[(head + count) % kRing];
            more = reader.Next(&next.item);
            if (!more) break;
            ++count;
            if (next.item.kind != Reg4Item::kKey) continue;
            ++keysAhead;
            next.path = CanonicalPath(next.item.key.data(), next.item.key.size());
            next.hash = HashNoCase(next.path.data(), next.path.size());
            PrefetchSlot(next.hash);
        }
        if (count == 0) break;
        AheadItem& front = ahead[head];
        head = (head + 1) % kRing;
        --count;
        Reg4Item& item = front.item;
        bool read = false;
        if (item.kind == Reg4Item::kKey) {
            --keysAhead;
            current = nullptr;
            if (!front.path.empty()) {
                read = true;
                own.Take("\r\n[", 3);
                own.Take(item.key.data(), item.key.size());
                own.Take("]\r\n", 3);
                current = MakeKey(std::move(front.path), false, front.hash);
            }
        } else if (item.kind == Reg4Item::kValue && current) {
            read = true;
            if (!own.holds) {
                // Nothing left to check.
            } else if (item.type == kTypeString && IsPlainText(item.name) && IsPlainText(item.data)) {
                own.TakePlainValue(item.name, item.data);  // most values: compared in place
            } else {
                rendered.clear();
                Reg4AppendValue(&rendered, item.name, item.type, item.data);
                own.Take(rendered);
            }
            PutValue(current, item.name, item.type, std::move(item.data), false);
        }
        if (!read) {
            std::string line(item.text);
            if (line.size() > 200) line = line.substr(0, 200) + "...";
            *why = "cannot be imported faithfully: line " + std::to_string(item.line) + ": " + line;
            return false;
        }
    }
    *ownFormOut = own.holds && own.at == text.size();
    return true;
}
