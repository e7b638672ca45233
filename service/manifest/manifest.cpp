#include "manifest/manifest.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include <rapidxml.hpp>

#include "log/service_log.h"
#include "platform/text_encoding.h"
#include "player/player_detection.h"

namespace {

using Document = rapidxml::xml_document<char>;
using Node = rapidxml::xml_node<char>;
using Attribute = rapidxml::xml_attribute<char>;

void warn(MessageCode code) { ServiceLog::write(LogLevel::Warning, codeText(code)); }

bool startsWith(const char* p, const char* prefix) {
    for (; *prefix; ++p, ++prefix)
        if (*p != *prefix) return false;
    return true;
}

// Just past the first occurrence of terminator, or the end of the text.
const char* skipPast(const char* p, const char* terminator) {
    for (; *p; ++p)
        if (startsWith(p, terminator)) return p + std::strlen(terminator);
    return p;
}

// Just past a "<!...>" declaration; a bracketed internal subset may hold ">" characters.
const char* skipDeclaration(const char* p) {
    int brackets = 0;
    for (; *p; ++p) {
        if (*p == '[') ++brackets;
        else if (*p == ']' && brackets > 0) --brackets;
        else if (*p == '>' && brackets == 0) return p + 1;
    }
    return p;
}

// Just past the end of a start tag whose name begins at p; selfClosing tells "<a/>" forms.
const char* skipStartTag(const char* p, bool& selfClosing) {
    char quote = 0;
    selfClosing = false;
    for (; *p; ++p) {
        if (quote) {
            if (*p == quote) quote = 0;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == '>') {
            selfClosing = p[-1] == '/';
            return p + 1;
        }
    }
    return p;
}

// Parses the text in place into doc; a failure logs its code and returns false.
bool parseDocument(std::unique_ptr<Document>& doc, char* text, MessageCode tooDeep,
                   MessageCode outOfMemory, MessageCode notWellFormed) {
    // The parser recurses once per nesting level: a deep enough body would end the process
    // on a stack overflow, so it is refused before the parser sees it.
    if (!manifestNestingWithin(text, kMaxManifestNesting)) {
        warn(tooDeep);
        return false;
    }
    doc.reset(new (std::nothrow) Document);
    if (!doc) {
        warn(outOfMemory);
        return false;
    }
    try {
        doc->parse<rapidxml::parse_default>(text);
    } catch (const rapidxml::parse_error&) {
        warn(notWellFormed);
        return false;
    } catch (const std::bad_alloc&) {
        warn(outOfMemory);
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
bool readBinding(const Node* element, PackageBinding& binding) {
    binding = PackageBinding();
    const Attribute* size = element->first_attribute("size");
    const Attribute* sha256 = element->first_attribute("sha256");
    if ((size && !parsePackageSize(size->value(), binding.size)) ||
        (sha256 && !parsePackageDigest(sha256->value(), binding.sha256))) {
        binding = PackageBinding();
        warn(MessageCode::ManifestPackageBindingMalformed);
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
                      MessageCode incomplete, OfferValues& values) {
    const Node* element = version->first_node(name);
    if (!element) {
        warn(missing);
        return false;
    }
    if (!readVersion(element, values.version)) {
        warn(incomplete);
        return false;
    }
    return readBinding(element, values.package);
}

bool readCheckFrequency(const Node* version, uint32_t& frequency) {
    const Node* config = version->first_node("SAUConfig");
    if (!config) {
        warn(MessageCode::VersionManifestNoSauConfig);
        return false;
    }
    const Attribute* attribute = config->first_attribute("checkFrequency");
    if (!attribute) {
        warn(MessageCode::VersionManifestNoCheckFrequency);
        return false;
    }
    frequency = manifestNumber(attribute->value());
    return true;
}

// Creates the three records at once; on no memory none of them reaches out.
bool storeVersionRecords(const OfferValues& activeX, const OfferValues& plugin,
                         uint32_t checkFrequency, VersionManifest& out) {
    std::unique_ptr<ComponentOffer> activeXOffer(new (std::nothrow) ComponentOffer);
    std::unique_ptr<ComponentOffer> pluginOffer(new (std::nothrow) ComponentOffer);
    std::unique_ptr<uint32_t> frequencyValue(new (std::nothrow) uint32_t(checkFrequency));
    if (!activeXOffer || !pluginOffer || !frequencyValue) {
        warn(MessageCode::VersionManifestRecordsOutOfMemory);
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

// One component entry of a walked patch element: hands it to patch selection unless a patch
// already matched for the component.
EntryResult examineEntry(const Node* element, const char* name, ComponentOffer& offer,
                         MessageCode malformedCode, MessageCode missingCode, bool windowsIs64Bit) {
    if (offer.patchApplies) return EntryResult::Skipped;
    const Node* entry = element->first_node(name);
    if (!entry) {
        warn(missingCode);
        return EntryResult::Skipped;
    }
    const Attribute* hash32 = entry->first_attribute("hash32");
    const Attribute* hash64 = entry->first_attribute("hash64");
    const Attribute* path = entry->first_attribute("path");
    if (!hash32 || !hash64 || !path) {
        warn(malformedCode);
        return EntryResult::Malformed;
    }
    // An entry whose binding is malformed is not examined: its patch can never be chosen.
    if (!readBinding(entry, offer.patchPackage)) return EntryResult::Malformed;
    std::wstring widePath;
    wideFromUtf8Lenient(path->value(), widePath);  // a failed conversion leaves the path empty
    offer.hash32.assign(hash32->value(), hash32->value_size());
    offer.hash64.assign(hash64->value(), hash64->value_size());
    buildPatchPath(offer, widePath);
    checkPatchApplicable(offer, windowsIs64Bit);
    return EntryResult::Examined;
}

// From the first "patch" element on, every top-level element is walked, whatever its name;
// false when a malformed entry ends the walk. windowsIs64Bit: the 64-bit player files must
// match their digests as well.
bool walkPatchEntries(const Node* first, VersionManifest& manifest, bool windowsIs64Bit) {
    for (const Node* element = first; element; element = element->next_sibling()) {
        if (examineEntry(element, "ActiveX", *manifest.activeX,
                         MessageCode::PatchManifestActiveXEntryIncomplete,
                         MessageCode::PatchManifestNoActiveXChild,
                         windowsIs64Bit) == EntryResult::Malformed ||
            examineEntry(element, "Plugin", *manifest.plugin,
                         MessageCode::PatchManifestPluginEntryIncomplete,
                         MessageCode::PatchManifestNoPluginChild,
                         windowsIs64Bit) == EntryResult::Malformed)
            return false;
    }
    return true;
}

}  // namespace

bool manifestNestingWithin(const char* text, uint32_t limit) {
    uint32_t depth = 0;
    const char* p = text;
    while (*p) {
        if (*p != '<') {
            ++p;
        } else if (startsWith(p, "<!--")) {
            p = skipPast(p + 4, "-->");
        } else if (startsWith(p, "<![CDATA[")) {
            p = skipPast(p + 9, "]]>");
        } else if (p[1] == '?') {
            p = skipPast(p + 2, "?>");
        } else if (p[1] == '!') {
            p = skipDeclaration(p + 2);
        } else if (p[1] == '/') {
            if (depth > 0) --depth;
            p = skipPast(p + 2, ">");
        } else {
            bool selfClosing = false;
            p = skipStartTag(p + 1, selfClosing);
            if (!selfClosing && ++depth > limit) return false;
        }
    }
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

bool parseVersionManifest(char* text, VersionManifest* out) {
    if (!text || !out) return false;
    std::unique_ptr<Document> doc;
    if (!parseDocument(doc, text, MessageCode::ManifestNestedTooDeep,
                       MessageCode::VersionManifestOutOfMemory,
                       MessageCode::VersionManifestNotWellFormed))
        return false;
    const Node* version = doc->first_node("version");
    if (!version) {
        warn(MessageCode::VersionManifestNoVersionElement);
        return false;
    }
    OfferValues activeX, plugin;
    uint32_t checkFrequency = 0;
    if (!readOfferElement(version, "ActiveX", MessageCode::VersionManifestNoActiveX,
                          MessageCode::VersionManifestActiveXIncomplete, activeX) ||
        !readOfferElement(version, "Plugin", MessageCode::VersionManifestNoPlugin,
                          MessageCode::VersionManifestPluginIncomplete, plugin) ||
        !readCheckFrequency(version, checkFrequency))
        return false;
    doc.reset();  // the values read are copies; the text stays the caller's
    return storeVersionRecords(activeX, plugin, checkFrequency, *out);
}

bool parsePatchManifest(char* text, VersionManifest* inOut) {
    return parsePatchManifest(text, inOut, runningUnderWow64);
}

bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit) {
    if (!text || !inOut || !inOut->activeX || !inOut->plugin) return false;
    std::unique_ptr<Document> doc;
    if (!parseDocument(doc, text, MessageCode::ManifestNestedTooDeep,
                       MessageCode::PatchManifestOutOfMemory,
                       MessageCode::PatchManifestNotWellFormed))
        return false;
    const Node* first = doc->first_node("patch");
    if (!first) {
        warn(MessageCode::PatchManifestNoPatchElement);
        return false;
    }
    try {
        return walkPatchEntries(first, *inOut, windowsIs64Bit);
    } catch (const std::bad_alloc&) {
        warn(MessageCode::PatchManifestOutOfMemory);
        return false;
    }
}
