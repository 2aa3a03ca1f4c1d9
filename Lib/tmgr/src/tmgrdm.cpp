// Field-by-field little-endian coding of the data module's records.
#include "tmgrdm.h"

#include <cstring>

namespace nuvak::tmgr {
namespace {

// One overload per field type of T_TMGRIF_cfg; the field list drives them.
void Get(const unsigned char* p, T_uint_8& f) { f = p[0]; }
void Get(const unsigned char* p, T_uint_16& f) { f = LoadLE16(p); }
void Get(const unsigned char* p, T_uint_32& f) { f = LoadLE32(p); }
void Get(const unsigned char* p, T_int_32& f) { f = static_cast<T_int_32>(LoadLE32(p)); }
template <std::size_t N>
void Get(const unsigned char* p, char (&f)[N]) {
    std::memcpy(f, p, N);
}
template <std::size_t N, std::size_t M>
void Get(const unsigned char* p, char (&f)[N][M]) {
    std::memcpy(f, p, N * M);
}
template <std::size_t N>
void Get(const unsigned char* p, T_uint_16 (&f)[N]) {
    for (std::size_t i = 0; i < N; ++i) f[i] = LoadLE16(p + 2 * i);
}
template <std::size_t N>
void Get(const unsigned char* p, T_TMGRIF_HlsChk (&f)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        f[i].timeout = LoadLE16(p + 6 * i);
        f[i].retrycount = LoadLE16(p + 6 * i + 2);
        f[i].retryinterval = LoadLE16(p + 6 * i + 4);
    }
}

void Put(unsigned char* p, T_uint_8 f) { p[0] = f; }
void Put(unsigned char* p, T_uint_16 f) { StoreLE16(p, f); }
void Put(unsigned char* p, T_uint_32 f) { StoreLE32(p, f); }
void Put(unsigned char* p, T_int_32 f) { StoreLE32(p, static_cast<T_uint_32>(f)); }
template <std::size_t N>
void Put(unsigned char* p, const char (&f)[N]) {
    std::memcpy(p, f, N);
}
template <std::size_t N, std::size_t M>
void Put(unsigned char* p, const char (&f)[N][M]) {
    std::memcpy(p, f, N * M);
}
template <std::size_t N>
void Put(unsigned char* p, const T_uint_16 (&f)[N]) {
    for (std::size_t i = 0; i < N; ++i) StoreLE16(p + 2 * i, f[i]);
}
template <std::size_t N>
void Put(unsigned char* p, const T_TMGRIF_HlsChk (&f)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        StoreLE16(p + 6 * i, f[i].timeout);
        StoreLE16(p + 6 * i + 2, f[i].retrycount);
        StoreLE16(p + 6 * i + 4, f[i].retryinterval);
    }
}

}  // namespace

void DecodeConfig(const unsigned char* src, T_TMGRIF_cfg* out) {
    T_TMGRIF_cfg c{};
#define TMGRIF_CFG_GET(field, off) Get(src + (off), c.field);
    TMGRIF_CFG_FIELDS(TMGRIF_CFG_GET)
#undef TMGRIF_CFG_GET
    *out = c;
}

void EncodeConfig(const T_TMGRIF_cfg& in, unsigned char* dst) {
    std::memset(dst, 0, cfg::kSize);
#define TMGRIF_CFG_PUT(field, off) Put(dst + (off), in.field);
    TMGRIF_CFG_FIELDS(TMGRIF_CFG_PUT)
#undef TMGRIF_CFG_PUT
}

void DecodeHost(const unsigned char* src, T_TMGRIF_HostInfo* out) {
    T_TMGRIF_HostInfo h{};
    h.if_ipa = LoadLE32(src + host::kIfIpa);
    h.broadcast_ipa = LoadLE32(src + host::kBroadcastIpa);
    h.server_ipa = LoadLE32(src + host::kServerIpa);
    std::memcpy(h.if_name, src + host::kIfName, host::kIfNameSize);
    *out = h;
}

void EncodeHost(const T_TMGRIF_HostInfo& in, unsigned char* dst) {
    std::memset(dst, 0, host::kSize);
    StoreLE32(dst + host::kIfIpa, in.if_ipa);
    StoreLE32(dst + host::kBroadcastIpa, in.broadcast_ipa);
    StoreLE32(dst + host::kServerIpa, in.server_ipa);
    std::memcpy(dst + host::kIfName, in.if_name, host::kIfNameSize);
}

}  // namespace nuvak::tmgr
