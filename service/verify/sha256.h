#pragma once
// SHA-256 (FIPS 180-4) of bytes fed in steps, in the program's own code: the package's and its
// content's digests, computed as the package is read once. The block function uses the
// processor's SHA extensions when the processor says it has them (asked once, at run time),
// else portable C++; both give the same digest, which the tests compare for every length.
#include <cstddef>
#include <cstdint>

class Sha256 {
public:
    static constexpr size_t kDigestBytes = 32;
    enum class Engine { Portable, ShaExtensions };

    // The fastest engine this processor runs.
    Sha256();
    // A chosen engine; ShaExtensions only where shaExtensionsAvailable() says so.
    explicit Sha256(Engine engine);

    // True when the processor has the SHA extensions (and SSSE3 and SSE4.1 beside them).
    static bool shaExtensionsAvailable();

    Engine engine() const { return engine_; }
    void update(const uint8_t* data, size_t size);
    // The digest; the state starts over afterwards.
    void finish(uint8_t digest[kDigestBytes]);

private:
    void reset();
    void compress(const uint8_t* blocks, size_t count);

    Engine engine_;
    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t buffered_;
    uint64_t totalBytes_;
};
