#pragma once
// What the manifest binds an offer's package to (size and SHA-256), and the package checked
// against it as it is read, before any verification counts.
#include <cstdint>
#include <memory>

#include "manifest/manifest.h"
#include "verify/package_digest.h"

// The largest package the service downloads and verifies: the check takes it in blocks as it
// arrives, with memory that does not grow with its size, so the bound is what its 32-bit counts and
// offsets carry with room to spare, and what the disk must hold twice (the package and the
// installer written from it) while it is checked.
constexpr uint32_t kMaxPackageBytes = 0x80000000u;  // 2 GiB

// What the manifest binds the offer's package to: the patch entry's binding while the patch
// applies, else the full installer's.
const PackageBinding& packageBinding(const ComponentOffer& offer);
// The byte limit of the offer's package: the manifest's size when it is lower than
// kMaxPackageBytes, else kMaxPackageBytes. A manifest may lower the limit, never raise it.
uint32_t packageByteLimit(const ComponentOffer& offer);

// The package's bytes, the very ones that are verified, against the size and digest the
// manifest gives for them, fed as they are read. A mismatch, or a digest that could not be
// computed (its own 115x code first), is logged here.
class ManifestBindingCheck {
public:
    explicit ManifestBindingCheck(const PackageBinding& binding) : binding_(binding) {}
    // The digest, when the binding gives one (its failure logged here).
    bool begin();
    // The package's size against the binding's (a mismatch logged here).
    bool sizeMatches(uint64_t packageSize);
    // Both, for a package whose size is known before its bytes are read.
    bool begin(uint64_t packageSize) { return sizeMatches(packageSize) && begin(); }
    void update(const uint8_t* data, size_t size);
    bool finish();

private:
    bool digestFailed(uint32_t code);
    const PackageBinding& binding_;
    HashProvider provider_;
    std::unique_ptr<BulkDigest> digest_;
    bool hashFailed_ = false;
    DWORD hashError_ = 0;
};
