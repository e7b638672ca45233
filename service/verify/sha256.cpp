// SHA-256's block function twice (portable, and with the processor's SHA extensions), and the
// padding and buffering around it.
#include "verify/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define VEXTRA_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

alignas(16) const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBigEndian(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void compressPortable(uint32_t state[8], const uint8_t* data, size_t count) {
    for (; count > 0; --count, data += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(data + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) +
                                ((e & f) ^ (~e & g)) + kRound[t] + w[t];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) +
                                ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef VEXTRA_SHA256_X86
#ifdef __i386__
// 32-bit Windows promises a 4-byte aligned stack only (its own code keeps no more, so a service
// thread may start anywhere), while the compiler spills this function's eight XMM registers to
// 16-byte slots and adds from them (PADDD with a memory operand faults when unaligned): the
// function aligns its own frame. The x86_64 calling convention keeps 16 bytes everywhere.
#define VEXTRA_SHA256_OWN_STACK_ALIGNMENT __attribute__((force_align_arg_pointer))
#else
#define VEXTRA_SHA256_OWN_STACK_ALIGNMENT
#endif
// Four rounds per step: the message schedule with SHA256MSG1/MSG2, the rounds with SHA256RNDS2,
// the state held as ABEF and CDGH.
__attribute__((target("sha,ssse3,sse4.1"))) VEXTRA_SHA256_OWN_STACK_ALIGNMENT void
compressShaExtensions(uint32_t state[8], const uint8_t* data, size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, data += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), byteSwap);
        __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), byteSwap);
        __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), byteSwap);
        __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), byteSwap);
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            // w0 holds the words of this group (4 * group .. 4 * group + 3).
            __m128i wk = _mm_add_epi32(
                w0, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[4 * group])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            wk = _mm_shuffle_epi32(wk, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
            // The group four ahead: W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]).
            __m128i next = _mm_sha256msg1_epu32(w0, w1);
            next = _mm_add_epi32(next, _mm_alignr_epi8(w3, w2, 4));
            next = _mm_sha256msg2_epu32(next, w3);
            w0 = w1;
            w1 = w2;
            w2 = w3;
            w3 = next;
        }
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace

bool Sha256::shaExtensionsAvailable() {
#ifdef VEXTRA_SHA256_X86
    static const bool available = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
        const bool ssse3 = (c & (1u << 9)) != 0;
        const bool sse41 = (c & (1u << 19)) != 0;
        if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
        const bool sha = (b & (1u << 29)) != 0;
        return ssse3 && sse41 && sha;
    }();
    return available;
#else
    return false;
#endif
}

Sha256::Sha256() : Sha256(shaExtensionsAvailable() ? Engine::ShaExtensions : Engine::Portable) {}

Sha256::Sha256(Engine engine)
    : engine_(engine == Engine::ShaExtensions && shaExtensionsAvailable() ? engine
                                                                          : Engine::Portable) {
    reset();
}

void Sha256::reset() {
    std::memcpy(state_, kInitial, sizeof(state_));
    buffered_ = 0;
    totalBytes_ = 0;
}

void Sha256::compress(const uint8_t* blocks, size_t count) {
#ifdef VEXTRA_SHA256_X86
    if (engine_ == Engine::ShaExtensions) {
        compressShaExtensions(state_, blocks, count);
        return;
    }
#endif
    compressPortable(state_, blocks, count);
}

void Sha256::update(const uint8_t* data, size_t size) {
    totalBytes_ += size;
    if (buffered_ > 0) {
        const size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ < 64) return;
        compress(buffer_, 1);
        buffered_ = 0;
    }
    if (size >= 64) {
        compress(data, size / 64);
        data += size - size % 64;
        size %= 64;
    }
    if (size > 0) {
        std::memcpy(buffer_, data, size);
        buffered_ = size;
    }
}

void Sha256::finish(uint8_t digest[kDigestBytes]) {
    const uint64_t bits = totalBytes_ * 8;
    uint8_t tail[128] = {};
    std::memcpy(tail, buffer_, buffered_);
    tail[buffered_] = 0x80;
    const size_t length = buffered_ + 9 <= 64 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[length - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    compress(tail, length / 64);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
        digest[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
        digest[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
        digest[4 * i + 3] = static_cast<uint8_t>(state_[i]);
    }
    reset();
}
