// The service's own SHA-256 against OpenSSL's: the input fed in the steps its first bytes
// choose, through each engine this processor runs, must give OpenSSL's digest of it.
#include <openssl/sha.h>

#include <cstring>

#include "fuzz_support.h"
#include "verify/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t expected[SHA256_DIGEST_LENGTH];
    SHA256(data, size, expected);
    for (Sha256::Engine engine : {Sha256::Engine::Portable, Sha256::Engine::ShaExtensions}) {
        if (engine == Sha256::Engine::ShaExtensions && !Sha256::shaExtensionsAvailable()) continue;
        Sha256 digest(engine);
        FUZZ_ASSERT(digest.engine() == engine);
        // Step lengths from the input itself (1 to 256 bytes each, cycling), so block
        // boundaries fall anywhere.
        size_t done = 0;
        for (size_t i = 0; done < size; ++i) {
            const size_t step = std::min<size_t>(size - done, 1 + data[i % size]);
            digest.update(data + done, step);
            done += step;
        }
        uint8_t value[Sha256::kDigestBytes];
        digest.finish(value);
        FUZZ_ASSERT(std::memcmp(value, expected, sizeof(value)) == 0);
    }
    return 0;
}
