#include "manifest/manifest.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <rapidxml.hpp>

#include "manifest/xml_nesting.h"
#include "platform/text_encoding.h"
#include "player/patch_fit.h"
#include "player/player_records.h"

namespace {

using Document = rapidxml::xml_document<char>;
using Node = rapidxml::xml_node<char>;
using Attribute = rapidxml::xml_attribute<char>;

// Parses the text in place into doc; a failure logs its code and returns false.
bool parseDocument(std::unique_ptr<Document>& doc, char* text, MessageCode tooDeep,
                   MessageCode outOfMemory, MessageCode notWellFormed, MessageSink& log) {
    // The parser recurses once per nesting level: a deep enough body would end the process
    // on a stack overflow, so it is refused before the parser sees it.
    if (!manifestNestingWithin(text, kMaxManifestNesting)) {
        log.warning(tooDeep);
        return false;
    }
    doc.reset(new (std::nothrow) Document);
    if (!doc) {
        log.warning(outOfMemory);
        return false;
    }
    try {
        doc->parse<rapidxml::parse_default>(text);
    } catch (const rapidxml::parse_error&) {
        log.warning(notWellFormed);
        return false;
    } catch (const std::bad_alloc&) {
        log.warning(outOfMemory);
        return false;
    }
    return true;
}

// The four version attributes of an offer element, all required.
bool readVersion(const Node* element, PlayerVersion& version) {
    const Attribute* major = element->first_attribute("major");
    const Attribute* minor = element->first_attribute("minor");
    const Attribute* buildMajor = element->first_attribute("buildMajor");
    const Attribute* buildMinor = element->first_attribute("buildMinor");
    if (!major || !minor || !buildMajor || !buildMinor) return false;
    version.major = manifestNumber(major->value());
    version.minor = manifestNumber(minor->value());
    version.buildMajor = manifestNumber(buildMajor->value());
    version.buildMinor = manifestNumber(buildMinor->value());
    return true;
}

// The optional "size" and "sha256" attributes of an element; false (logged) when one is
// malformed. Absent attributes leave the binding empty.
bool readBinding(const Node* element, PackageBinding& binding, MessageSink& log) {
    binding = PackageBinding();
    const Attribute* size = element->first_attribute("size");
    const Attribute* sha256 = element->first_attribute("sha256");
    if ((size && !parsePackageSize(size->value(), binding.size)) ||
        (sha256 && !parsePackageDigest(sha256->value(), binding.sha256))) {
        binding = PackageBinding();
        log.warning(MessageCode::ManifestPackageBindingMalformed);
        return false;
    }
    binding.hasSize = size != nullptr;
    return true;
}

// One offer element of "version": its build and its package binding.
struct OfferValues {
    PlayerVersion version;
    PackageBinding package;
};

// Finds "name" below "version" and reads it; the first failure logs its code.
bool readOfferElement(const Node* version, const char* name, MessageCode missing,
                      MessageCode incomplete, OfferValues& values, MessageSink& log) {
    const Node* element = version->first_node(name);
    if (!element) {
        log.warning(missing);
        return false;
    }
    if (!readVersion(element, values.version)) {
        log.warning(incomplete);
        return false;
    }
    return readBinding(element, values.package, log);
}

bool readCheckFrequency(const Node* version, uint32_t& frequency, MessageSink& log) {
    const Node* config = version->first_node("SAUConfig");
    if (!config) {
        log.warning(MessageCode::VersionManifestNoSauConfig);
        return false;
    }
    const Attribute* attribute = config->first_attribute("checkFrequency");
    if (!attribute) {
        log.warning(MessageCode::VersionManifestNoCheckFrequency);
        return false;
    }
    frequency = manifestNumber(attribute->value());
    return true;
}

// Creates the three records at once; on no memory none of them reaches out.
bool storeVersionRecords(const OfferValues& activeX, const OfferValues& plugin,
                         uint32_t checkFrequency, VersionManifest& out, MessageSink& log) {
    std::unique_ptr<ComponentOffer> activeXOffer(new (std::nothrow) ComponentOffer);
    std::unique_ptr<ComponentOffer> pluginOffer(new (std::nothrow) ComponentOffer);
    std::unique_ptr<uint32_t> frequencyValue(new (std::nothrow) uint32_t(checkFrequency));
    if (!activeXOffer || !pluginOffer || !frequencyValue) {
        log.warning(MessageCode::VersionManifestRecordsOutOfMemory);
        return false;
    }
    activeXOffer->component = PlayerComponent::ActiveX;
    activeXOffer->version = activeX.version;
    activeXOffer->fullPackage = activeX.package;
    pluginOffer->component = PlayerComponent::Plugin;
    pluginOffer->version = plugin.version;
    pluginOffer->fullPackage = plugin.package;
    out.activeX = std::move(activeXOffer);
    out.plugin = std::move(pluginOffer);
    out.checkFrequency = std::move(frequencyValue);
    return true;
}

enum class EntryResult { Examined, Skipped, Malformed };

// The walk's fixed inputs.
struct PatchWalk {
    bool windowsIs64Bit;
    PlayerFileDigests& files;
    MessageSink& log;
};

// One component entry of a walked patch element: hands it to patch selection unless a patch
// already matched for the component.
EntryResult examineEntry(const Node* element, const char* name, ComponentOffer& offer,
                         MessageCode malformedCode, MessageCode missingCode, PatchWalk& walk) {
    if (offer.patchApplies) return EntryResult::Skipped;
    const Node* entry = element->first_node(name);
    if (!entry) {
        walk.log.warning(missingCode);
        return EntryResult::Skipped;
    }
    const Attribute* hash32 = entry->first_attribute("hash32");
    const Attribute* hash64 = entry->first_attribute("hash64");
    const Attribute* path = entry->first_attribute("path");
    if (!hash32 || !hash64 || !path) {
        walk.log.warning(malformedCode);
        return EntryResult::Malformed;
    }
    // A path that would climb out of the patch folder or change the request ends the walk as
    // a malformed entry would: the full package is fetched instead.
    std::string requestPath;
    if (!patchPathForRequest(path->value(), requestPath)) {
        walk.log.warning(MessageCode::PatchManifestPathRefused);
        return EntryResult::Malformed;
    }
    // An entry whose binding is malformed is not examined: its patch can never be chosen.
    if (!readBinding(entry, offer.patchPackage, walk.log)) return EntryResult::Malformed;
    // Percent-encoded, the path is ASCII.
    const std::wstring widePath(requestPath.begin(), requestPath.end());
    offer.hash32.assign(hash32->value(), hash32->value_size());
    offer.hash64.assign(hash64->value(), hash64->value_size());
    buildPatchPath(offer, widePath);
    decidePatchApplies(offer, walk.windowsIs64Bit, walk.files);
    return EntryResult::Examined;
}

// From the first "patch" element on, every top-level element is walked, whatever its name;
// false when a malformed entry ends the walk, or when the walk must stop before its end.
bool walkPatchEntries(const Node* first, VersionManifest& manifest, PatchWalk& walk) {
    for (const Node* element = first; element; element = element->next_sibling()) {
        if (walk.files.walkMustStop()) {
            walk.log.warning(MessageCode::PatchManifestWalkStopped);
            return false;
        }
        if (examineEntry(element, "ActiveX", *manifest.activeX,
                         MessageCode::PatchManifestActiveXEntryIncomplete,
                         MessageCode::PatchManifestNoActiveXChild, walk) == EntryResult::Malformed ||
            examineEntry(element, "Plugin", *manifest.plugin,
                         MessageCode::PatchManifestPluginEntryIncomplete,
                         MessageCode::PatchManifestNoPluginChild, walk) == EntryResult::Malformed)
            return false;
    }
    return true;
}

}  // namespace

bool manifestNestingWithin(const char* text, uint32_t limit) {
    return xmlNestingWithin(text, limit);
}

bool patchPathForRequest(const char* text, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    if (text[0] == '/' || text[0] == '\\') return false;
    std::string encoded;
    uint32_t length = 0;
    uint32_t segment = 0;      // bytes of the current segment
    uint32_t segmentDots = 0;  // how many of them are dots
    for (const char* p = text;; ++p, ++length) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/' || c == '\\' || c == '\0') {
            if (segment == 2 && segmentDots == 2) return false;  // ".."
            segment = segmentDots = 0;
            if (c == '\0') break;
        } else {
            ++segment;
            if (c == '.') ++segmentDots;
        }
        if (length >= kMaxPatchPathBytes || c < 0x20 || c == 0x7f || c == '?' || c == '#')
            return false;
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~' || c == '/';
        if (unreserved) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(kHex[c >> 4]);
            encoded.push_back(kHex[c & 0x0f]);
        }
    }
    out.swap(encoded);
    return true;
}

bool parsePackageSize(const char* text, uint32_t& size) {
    uint64_t value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFull) return false;
    }
    if (p == text || *p != '\0') return false;
    size = static_cast<uint32_t>(value);
    return true;
}

bool parsePackageDigest(const char* text, std::string& lowercaseHex) {
    std::string digest;
    for (const char* p = text; *p; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') digest += c;
        else if (c >= 'a' && c <= 'f') digest += c;
        else if (c >= 'A' && c <= 'F') digest += static_cast<char>(c - 'A' + 'a');
        else return false;
    }
    if (digest.size() != kPackageDigestHexLength) return false;
    lowercaseHex.swap(digest);
    return true;
}

uint32_t manifestNumber(const char* text) {
    // Base-10 strtoul as on Windows, where unsigned long has 32 bits: white space, sign,
    // digits, saturation at the maximum. Done by hand so the result does not depend on the
    // width of unsigned long.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value = 0xFFFFFFFFull;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    const uint32_t result = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - result) : result;
}

bool parseVersionManifest(char* text, VersionManifest* out, MessageSink& log) {
    if (!text || !out) return false;
    std::unique_ptr<Document> doc;
    if (!parseDocument(doc, text, MessageCode::ManifestNestedTooDeep,
                       MessageCode::VersionManifestOutOfMemory,
                       MessageCode::VersionManifestNotWellFormed, log))
        return false;
    const Node* version = doc->first_node("version");
    if (!version) {
        log.warning(MessageCode::VersionManifestNoVersionElement);
        return false;
    }
    OfferValues activeX, plugin;
    uint32_t checkFrequency = 0;
    if (!readOfferElement(version, "ActiveX", MessageCode::VersionManifestNoActiveX,
                          MessageCode::VersionManifestActiveXIncomplete, activeX, log) ||
        !readOfferElement(version, "Plugin", MessageCode::VersionManifestNoPlugin,
                          MessageCode::VersionManifestPluginIncomplete, plugin, log) ||
        !readCheckFrequency(version, checkFrequency, log))
        return false;
    doc.reset();  // the values read are copies; the text stays the caller's
    return storeVersionRecords(activeX, plugin, checkFrequency, *out, log);
}

bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit,
                        PlayerFileDigests& files, MessageSink& log) {
    if (!text || !inOut || !inOut->activeX || !inOut->plugin) return false;
    std::unique_ptr<Document> doc;
    if (!parseDocument(doc, text, MessageCode::ManifestNestedTooDeep,
                       MessageCode::PatchManifestOutOfMemory,
                       MessageCode::PatchManifestNotWellFormed, log))
        return false;
    const Node* first = doc->first_node("patch");
    if (!first) {
        log.warning(MessageCode::PatchManifestNoPatchElement);
        return false;
    }
    PatchWalk walk{windowsIs64Bit, files, log};
    try {
        return walkPatchEntries(first, *inOut, walk);
    } catch (const std::bad_alloc&) {
        log.warning(MessageCode::PatchManifestOutOfMemory);
        return false;
    }
}
