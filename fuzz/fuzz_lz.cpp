// LZ expansion (HostLzCopy between memory files) of hostile sources.
//
// Input: a mode byte, then
// - even mode: the SZDD header's mode byte and its four-byte expanded size,
//   then the compressed stream: arbitrary bytes behind a valid signature;
// - odd mode: the source file as it stands.
// Each source is also tried cut short, at a position the input chooses.
//
// Invariants: a source that HostLzCopy expands expands, byte for byte, as
// libmspack's own SZDD decompressor expands it, to exactly the size its
// header states; nothing beyond that size is ever written; a file without the
// whole signature is copied unchanged.
#include <mspack.h>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/host/lz_expand.h"

namespace {

const char kSignature[] = "SZDD\x88\xF0\x27\x33";

// true when libmspack expands file to exactly the size its header states.
bool ReferenceExpand(const std::string& file, std::string* out) {
    MemoryFile in(file), dest;
    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(nullptr);
    FUZZ_CHECK(decompressor);
    bool ok = false;
    if (msszddd_header* header = decompressor->open(decompressor, const_cast<char*>(in.Name().c_str()))) {
        ok = decompressor->extract(decompressor, header, const_cast<char*>(dest.Name().c_str())) == MSPACK_ERR_OK;
        *out = dest.Contents();
        ok = ok && static_cast<off_t>(out->size()) == header->length;
        decompressor->close(decompressor, header);
    }
    mspack_destroy_szdd_decompressor(decompressor);
    return ok;
}

void Check(const std::string& file) {
    MemoryFile in(file), dest;
    const long long result = HostLzCopy(in.fd, dest.fd);
    const std::string expanded = dest.Contents();
    if (file.compare(0, 8, kSignature, 8) != 0) {
        FUZZ_CHECK(result == static_cast<long long>(file.size()) && expanded == file);
        return;
    }
    uint32_t claimed = 0;
    if (file.size() >= 14) {
        for (int i = 13; i >= 10; --i) claimed = claimed << 8 | static_cast<unsigned char>(file[i]);
    }
    FUZZ_CHECK(expanded.size() <= claimed);
    // Expanded as far as the header says, the same as libmspack, or refused.
    if (result == PLAT_LZ_ERROR_READ) return;
    FUZZ_CHECK(result == static_cast<long long>(claimed));
    std::string reference;
    FUZZ_CHECK(ReferenceExpand(file, &reference));
    FUZZ_CHECK(reference == expanded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 6) return 0;
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const uint32_t claimed = bytes[2] | bytes[3] << 8 | bytes[4] << 16 | static_cast<uint32_t>(bytes[5]) << 24;
    std::string file = input.substr(1);
    if ((bytes[0] & 1) == 0) {
        file = std::string(kSignature, 8) + static_cast<char>(bytes[1]) + 'X' + input.substr(2, 4) + input.substr(6);
    }
    Check(file);
    Check(file.substr(0, (bytes[1] * 7u + claimed) % (file.size() + 1)));
    return 0;
}
