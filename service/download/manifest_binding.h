#pragma once
// What the manifest binds an offer's package to (size and SHA-256), and the package checked
// against it before any verification.
#include <cstdint>

#include "manifest/manifest.h"

// Without a size from the manifest, the most a package download may write to the disk: the
// largest full installer is a small fraction of it, and an endless body must not fill the disk.
constexpr uint32_t kMaxPackageBytes = 256u * 1024 * 1024;

// What the manifest binds the offer's package to: the patch entry's binding while the patch
// applies, else the full installer's.
const PackageBinding& packageBinding(const ComponentOffer& offer);
// The byte limit of the offer's package: the manifest's size when given, else kMaxPackageBytes.
uint32_t packageByteLimit(const ComponentOffer& offer);

// The package's bytes, the very ones that are verified next, against the size and digest the
// manifest gives for them; a mismatch is logged here (a digest that could not be computed
// first logs its own 115x code).
bool matchesManifest(const uint8_t* package, uint32_t size, const PackageBinding& binding);
