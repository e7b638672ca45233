// version.xml as the service reads it, with the nesting check held against the parser itself.
#include <algorithm>
#include <utility>

#include <rapidxml.hpp>

#include "fuzz_support.h"
#include "manifest/manifest.h"
#include "manifest/xml_nesting.h"
#include "support/xml_tree_depth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<char> buffer = terminated(text);

    // Differential: a text the check accepts parses (or fails) within the bound, and when it
    // parses its tree nests exactly as deep as the check said.
    const uint32_t checked = xmlNestingDepth(buffer.data(), kMaxManifestNesting);
    if (checked <= kMaxManifestNesting) {
        std::vector<char> copy = buffer;
        rapidxml::xml_document<char> doc;
        try {
            doc.parse<rapidxml::parse_default>(copy.data());
            FUZZ_ASSERT(parsedDepth(&doc) == checked);
        } catch (const rapidxml::parse_error&) {
        }
    }

    RecordingSink log;
    VersionManifest manifest;
    const bool parsed = parseVersionManifest(buffer.data(), &manifest, log);
    // Success fills all three records and reports nothing; failure reports exactly one code
    // and leaves the records absent.
    if (parsed) {
        FUZZ_ASSERT(manifest.complete() && log.codes.empty());
        FUZZ_ASSERT(manifest.activeX->component == PlayerComponent::ActiveX);
        FUZZ_ASSERT(manifest.plugin->component == PlayerComponent::Plugin);
        for (const ComponentOffer* offer : {manifest.activeX.get(), manifest.plugin.get()})
            FUZZ_ASSERT(offer->fullPackage.sha256.empty() || offer->fullPackage.sha256.size() == 64);
    } else {
        FUZZ_ASSERT(!manifest.activeX && !manifest.plugin && !manifest.checkFrequency);
        FUZZ_ASSERT(log.codes.size() == 1);
    }
    if (checked > kMaxManifestNesting)
        FUZZ_ASSERT(!parsed && log.codes[0] == MessageCode::ManifestNestedTooDeep);
    return 0;
}
