#include "manifest/manifest.h"

#include <windows.h>

#include <cstdlib>
#include <new>

#include <rapidxml.hpp>

#include "log/service_log.h"
#include "player/player_detection.h"

namespace {

using Document = rapidxml::xml_document<char>;
using Node = rapidxml::xml_node<char>;
using Attribute = rapidxml::xml_attribute<char>;

void warn(MessageCode code) { ServiceLog::write(LogLevel::Warning, codeText(code)); }

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
    std::wstring widePath;
    utf8ToWide(path->value(), widePath);  // a failed conversion leaves the path empty
    offer.hash32.assign(hash32->value(), hash32->value_size());
    offer.hash64.assign(hash64->value(), hash64->value_size());
    buildPatchPath(offer, widePath);
    checkPatchApplicable(offer, windowsIs64Bit);
    return EntryResult::Examined;
}

}  // namespace

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

bool utf8ToWide(const char* text, std::wstring& out) {
    if (!text) return false;
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (needed <= 0) return false;
    try {
        std::wstring wide(static_cast<size_t>(needed), L'\0');
        if (MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], needed) == 0) return false;
        wide.resize(static_cast<size_t>(needed) - 1);
        out.swap(wide);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool parseVersionManifest(char* text, VersionManifest* out) {
    if (!text || !out) return false;
    std::unique_ptr<Document> doc(new (std::nothrow) Document);
    if (!doc) {
        warn(MessageCode::VersionManifestOutOfMemory);
        return false;
    }
    try {
        doc->parse<rapidxml::parse_default>(text);
    } catch (const rapidxml::parse_error&) {
        warn(MessageCode::VersionManifestNotWellFormed);
        return false;
    } catch (const std::bad_alloc&) {
        warn(MessageCode::VersionManifestOutOfMemory);
        return false;
    }

    const Node* version = doc->first_node("version");
    if (!version) {
        warn(MessageCode::VersionManifestNoVersionElement);
        return false;
    }
    PlayerVersion activeX, plugin;
    const Node* activeXNode = version->first_node("ActiveX");
    if (!activeXNode) {
        warn(MessageCode::VersionManifestNoActiveX);
        return false;
    }
    if (!readVersion(activeXNode, activeX)) {
        warn(MessageCode::VersionManifestActiveXIncomplete);
        return false;
    }
    const Node* pluginNode = version->first_node("Plugin");
    if (!pluginNode) {
        warn(MessageCode::VersionManifestNoPlugin);
        return false;
    }
    if (!readVersion(pluginNode, plugin)) {
        warn(MessageCode::VersionManifestPluginIncomplete);
        return false;
    }
    const Node* config = version->first_node("SAUConfig");
    if (!config) {
        warn(MessageCode::VersionManifestNoSauConfig);
        return false;
    }
    const Attribute* frequency = config->first_attribute("checkFrequency");
    if (!frequency) {
        warn(MessageCode::VersionManifestNoCheckFrequency);
        return false;
    }
    const uint32_t checkFrequency = manifestNumber(frequency->value());
    doc.reset();

    std::unique_ptr<ComponentOffer> activeXOffer(new (std::nothrow) ComponentOffer);
    std::unique_ptr<ComponentOffer> pluginOffer(new (std::nothrow) ComponentOffer);
    std::unique_ptr<uint32_t> frequencyValue(new (std::nothrow) uint32_t(checkFrequency));
    if (!activeXOffer || !pluginOffer || !frequencyValue) {
        warn(MessageCode::VersionManifestRecordsOutOfMemory);
        return false;
    }
    activeXOffer->component = PlayerComponent::ActiveX;
    activeXOffer->version = activeX;
    pluginOffer->component = PlayerComponent::Plugin;
    pluginOffer->version = plugin;
    out->activeX = std::move(activeXOffer);
    out->plugin = std::move(pluginOffer);
    out->checkFrequency = std::move(frequencyValue);
    return true;
}

bool parsePatchManifest(char* text, VersionManifest* inOut) {
    return parsePatchManifest(text, inOut, runningUnderWow64);
}

bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit) {
    if (!text || !inOut || !inOut->activeX || !inOut->plugin) return false;
    std::unique_ptr<Document> doc(new (std::nothrow) Document);
    if (!doc) {
        warn(MessageCode::PatchManifestOutOfMemory);
        return false;
    }
    try {
        doc->parse<rapidxml::parse_default>(text);
    } catch (const rapidxml::parse_error&) {
        warn(MessageCode::PatchManifestNotWellFormed);
        return false;
    } catch (const std::bad_alloc&) {
        warn(MessageCode::PatchManifestOutOfMemory);
        return false;
    }

    const Node* element = doc->first_node("patch");
    if (!element) {
        warn(MessageCode::PatchManifestNoPatchElement);
        return false;
    }
    try {
        // From the first "patch" element on, every top-level element is walked, whatever its name.
        for (; element; element = element->next_sibling()) {
            if (examineEntry(element, "ActiveX", *inOut->activeX,
                             MessageCode::PatchManifestActiveXEntryIncomplete,
                             MessageCode::PatchManifestNoActiveXChild,
                             windowsIs64Bit) == EntryResult::Malformed)
                return false;
            if (examineEntry(element, "Plugin", *inOut->plugin,
                             MessageCode::PatchManifestPluginEntryIncomplete,
                             MessageCode::PatchManifestNoPluginChild,
                             windowsIs64Bit) == EntryResult::Malformed)
                return false;
        }
    } catch (const std::bad_alloc&) {
        warn(MessageCode::PatchManifestOutOfMemory);
        return false;
    }
    return true;
}
