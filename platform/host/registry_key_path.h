// Registry key paths as the REGEDIT4 store (registry_store.h) keeps them:
// full paths from a root key, matched without regard to case.
#ifndef VSETUP_HOST_REGISTRY_KEY_PATH_H
#define VSETUP_HOST_REGISTRY_KEY_PATH_H

#include <cstddef>
#include <string>

namespace regpath {

// The text lower-cased by the rules of the ANSI code page.
std::string Lower(const std::string& text);
// A hash of the lower-cased text, eight bytes at a time.
size_t HashNoCase(const char* text, size_t size);
// Whether path equals text (size bytes) without regard to case.
bool SamePath(const std::string& path, const char* text, size_t size);
// The path as the store keeps it: empty components dropped, the root in its
// usual spelling, HKEY_CLASSES_ROOT moved under HKEY_LOCAL_MACHINE. Empty for
// an empty path and for one that starts with no root key.
std::string CanonicalPath(const char* text, size_t size);
std::string CanonicalPath(const std::string& path);
// Whether a canonical path is one of the root keys.
bool IsKnownRoot(const std::string& canonical);
// The key by which a lower-cased path sorts so that a parent comes right
// before its children.
std::string SortKey(const std::string& lowerPath);

}  // namespace regpath

#endif
