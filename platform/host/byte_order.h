// Little-endian fields of on-disk structures (FAT boot sectors, partition
// tables, SYSTEM.DAT, SZDD headers), and the one big-endian field of a VHD
// footer that is read.
#ifndef VSETUP_HOST_BYTE_ORDER_H
#define VSETUP_HOST_BYTE_ORDER_H

#include <cstdint>

inline uint16_t HostGetLe16(const void* at) {
    const unsigned char* p = static_cast<const unsigned char*>(at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t HostGetLe32(const void* at) {
    const unsigned char* p = static_cast<const unsigned char*>(at);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t HostGetLe64(const void* at) {
    const unsigned char* p = static_cast<const unsigned char*>(at);
    return HostGetLe32(p) | (static_cast<uint64_t>(HostGetLe32(p + 4)) << 32);
}
inline void HostPutLe16(void* at, uint32_t v) {
    unsigned char* p = static_cast<unsigned char*>(at);
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void HostPutLe32(void* at, uint32_t v) {
    unsigned char* p = static_cast<unsigned char*>(at);
    HostPutLe16(p, v);
    HostPutLe16(p + 2, v >> 16);
}
inline uint32_t HostGetBe32(const void* at) {
    const unsigned char* p = static_cast<const unsigned char*>(at);
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

#endif
