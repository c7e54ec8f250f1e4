// The sizes and markers of the CREG file layout that both the loader
// (creg_file.cpp) and the layout (creg_layout.cpp) use; docs/creg.md has
// the whole layout.
#ifndef VSETUP_HOST_CREG_FORMAT_H
#define VSETUP_HOST_CREG_FORMAT_H

#include <cstdint>

namespace creg {

const uint32_t kHeaderSize = 32;       // the file header and each block's header
const uint32_t kEntrySize = 28;        // one key navigation entry
const uint32_t kRecordHeader = 20;     // a key record before its name
const uint32_t kValueHeader = 12;      // a value entry before its name
const uint32_t kNoRecord = 0xFFFF;     // an entry without a data record
const uint32_t kBlockUnit = 0x1000;    // data blocks are whole 4 KiB pages
const uint32_t kBlockTarget = 0x4000;  // a block takes records up to this size
const uint32_t kMaxRecords = 255;      // record numbers in a block run from 0 to 254

}  // namespace creg

#endif
