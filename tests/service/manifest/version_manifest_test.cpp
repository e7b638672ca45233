#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <rapidxml.hpp>

#include "manifest/manifest.h"
#include "manifest/xml_nesting.h"
#include "support/log_capture.h"
#include "support/xml_tree_depth.h"

using testsupport::LogCapture;

namespace {

const char kGood[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<!-- offered builds -->\n"
    "<!DOCTYPE version>\n"
    "<version xmlns=\"urn:ignored\">\n"
    "  <ActiveX major=\"11\" minor=\"2\" buildMajor=\"202\" buildMinor=\"235\" extra=\"x\"/>\n"
    "  <Plugin major=\"11\" minor=\"3\" buildMajor=\"300\" buildMinor=\"1\">text</Plugin>\n"
    "  <Other/>\n"
    "  <SAUConfig checkFrequency=\"2\"/>\n"
    "</version>\n";

// Parses a copy of text (the parse works in place) and returns the logged messages.
struct Parsed {
    bool ok;
    VersionManifest manifest;
    std::vector<std::wstring> log;
};

Parsed parse(const std::string& text) {
    LogCapture capture;
    Parsed p;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    p.ok = parseVersionManifest(buffer.data(), &p.manifest);
    p.log = capture.messages();
    return p;
}

std::string document(const std::string& activeX, const std::string& plugin, const std::string& config) {
    return "<version>" + activeX + plugin + config + "</version>";
}

const std::string kActiveX = "<ActiveX major='11' minor='2' buildMajor='202' buildMinor='235'/>";
const std::string kPlugin = "<Plugin major='11' minor='3' buildMajor='300' buildMinor='1'/>";
const std::string kConfig = "<SAUConfig checkFrequency='3'/>";

}  // namespace

TEST(VersionManifestParse, GoodManifestFillsAllThreeRecords) {
    Parsed p = parse(kGood);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.log.empty());
    ASSERT_TRUE(p.manifest.complete());
    EXPECT_EQ(p.manifest.activeX->component, PlayerComponent::ActiveX);
    EXPECT_EQ(p.manifest.activeX->version, (PlayerVersion{11, 2, 202, 235}));
    EXPECT_EQ(p.manifest.plugin->component, PlayerComponent::Plugin);
    EXPECT_EQ(p.manifest.plugin->version, (PlayerVersion{11, 3, 300, 1}));
    EXPECT_EQ(*p.manifest.checkFrequency, 2u);
    for (const ComponentOffer* offer : {p.manifest.activeX.get(), p.manifest.plugin.get()}) {
        EXPECT_TRUE(offer->hash32.empty());
        EXPECT_TRUE(offer->hash64.empty());
        EXPECT_TRUE(offer->patchPath.empty());
        EXPECT_FALSE(offer->patchApplies);
    }
}

TEST(VersionManifestParse, ByteOrderMarkAndEntitiesAreHandled) {
    Parsed p = parse("\xEF\xBB\xBF<version><ActiveX major='&#49;1' minor='2' buildMajor='202' "
                     "buildMinor='1'/>" + kPlugin + "<SAUConfig checkFrequency='&#x37;'/></version>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.manifest.activeX->version.major, 11u);
    EXPECT_EQ(*p.manifest.checkFrequency, 7u);
}

TEST(VersionManifestParse, NumbersFollowStrtoul) {
    Parsed p = parse(document("<ActiveX major=' 11' minor='11.2' buildMajor='11abc' buildMinor=''/>",
                              "<Plugin major='-1' minor='99999999999' buildMajor='abc' buildMinor='+4'/>",
                              kConfig));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.manifest.activeX->version, (PlayerVersion{11, 11, 11, 0}));
    EXPECT_EQ(p.manifest.plugin->version, (PlayerVersion{4294967295u, 4294967295u, 0, 4}));
}

TEST(VersionManifestParse, OnlyTheFirstVersionElementIsRead) {
    Parsed p = parse(document(kActiveX, kPlugin, kConfig) +
                     "<version><ActiveX major='99' minor='0' buildMajor='0' buildMinor='0'/></version>");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.manifest.activeX->version.major, 11u);
}

TEST(VersionManifestParse, EachMissingPieceLogsItsOwnCodeAndLeavesNoResult) {
    struct Case {
        std::string text;
        const wchar_t* code;
    } cases[] = {
        {"", L"1411"},
        {"  \r\n\t ", L"1411"},
        {"<versions/>", L"1411"},
        {"<Version>" + kActiveX + kPlugin + kConfig + "</Version>", L"1411"},
        {"<root>" + document(kActiveX, kPlugin, kConfig) + "</root>", L"1411"},
        {document("", kPlugin, kConfig), L"1437"},
        {document("<activex major='1' minor='1' buildMajor='1' buildMinor='1'/>", kPlugin, kConfig), L"1437"},
        {document("<Wrap>" + kActiveX + "</Wrap>", kPlugin, kConfig), L"1437"},
        {document("<ActiveX major='11' minor='2' buildMajor='202'/>", "", ""), L"1434"},
        {document("<ActiveX minor='2' buildMajor='202' buildMinor='1'/>", kPlugin, kConfig), L"1434"},
        {document(kActiveX, "", kConfig), L"1438"},
        {document(kActiveX, "<Plugin major='11' minor='2' buildMinor='1'/>", kConfig), L"1435"},
        {document(kActiveX, kPlugin, ""), L"1439"},
        {document(kActiveX, kPlugin, "<SAUConfig frequency='3'/>"), L"1436"},
        {"<version>", L"1431"},
        {"<version><ActiveX major='1></version>", L"1431"},
        {document(kActiveX, kPlugin, kConfig) + " trailing", L"1431"},
        {"<a>&unknown;</a", L"1431"},
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.text);
        EXPECT_FALSE(p.ok) << c.text;
        EXPECT_EQ(p.log, std::vector<std::wstring>{c.code}) << c.text;
        EXPECT_FALSE(p.manifest.activeX || p.manifest.plugin || p.manifest.checkFrequency) << c.text;
    }
}

TEST(VersionManifestParse, CodesAreWrittenAtWarningLevel) {
    LogCapture capture;
    char text[] = "<nothing/>";
    VersionManifest manifest;
    EXPECT_FALSE(parseVersionManifest(text, &manifest));
    const auto lines = capture.entries();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, L"warning");
    EXPECT_EQ(lines[0].message, L"1411");
}

TEST(VersionManifestParse, NoTextOrNoResultPlaceFailsSilently) {
    LogCapture capture;
    VersionManifest manifest;
    char text[] = "<version/>";
    EXPECT_FALSE(parseVersionManifest(nullptr, &manifest));
    EXPECT_FALSE(parseVersionManifest(text, nullptr));
    EXPECT_TRUE(capture.messages().empty());
}

TEST(VersionManifestParse, OfferElementsBindTheirFullPackages) {
    const std::string digest = "0123456789ABCDEFabcdef0123456789abcdef0123456789ABCDEF0123456789";
    Parsed p = parse(document(
        "<ActiveX major='11' minor='2' buildMajor='202' buildMinor='235' size='4096' sha256='" +
            digest + "'/>",
        kPlugin, kConfig));
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.manifest.activeX->fullPackage.hasSize);
    EXPECT_EQ(p.manifest.activeX->fullPackage.size, 4096u);
    EXPECT_EQ(p.manifest.activeX->fullPackage.sha256,
              "0123456789abcdefabcdef0123456789abcdef0123456789abcdef0123456789");
    EXPECT_FALSE(p.manifest.plugin->fullPackage.any()) << "without attributes, as before";

    // A malformed value is a manifest error: no result, its own code.
    for (const std::string& bad : std::vector<std::string>{"size=''", "size='-1'", "size=' 12'", "size='12abc'",
                                  "size='4294967296'", "sha256='abc'",
             "sha256='" + std::string(63, 'a') + "g'", "sha256='" + std::string(65, 'a') + "'"}) {
        Parsed q = parse(document(
            kActiveX, "<Plugin major='1' minor='1' buildMajor='1' buildMinor='1' " + bad + "/>",
            kConfig));
        EXPECT_FALSE(q.ok) << bad;
        EXPECT_FALSE(q.manifest.complete()) << bad;
        EXPECT_EQ(q.log, std::vector<std::wstring>{L"1464"}) << bad;
    }
    uint32_t size = 0;
    EXPECT_TRUE(parsePackageSize("4294967295", size));
    EXPECT_EQ(size, 4294967295u);
}

TEST(VersionManifestParse, BodyNestedDeeperThanTheBoundIsRefusedBeforeParsing) {
    // Deep enough to overflow the stack of a parser that recursed into it.
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "<a>";
    Parsed p = parse("<version>" + deep + "</version>");
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.log, std::vector<std::wstring>{L"1463"});

    // Exactly at the bound it parses; comments, declarations, CDATA and quoted ">" do not
    // count as levels, a self-closed element counts as one (the innermost <e/> is level 64).
    std::string nested, closing;
    for (uint32_t i = 2; i < kMaxManifestNesting; ++i) {
        nested += "<n x='>'><!-- <c> --><![CDATA[<d>]]><?pi <e>?><e/>";
        closing += "</n>";
    }
    const std::string atBound = "<!DOCTYPE version [<!ENTITY x '<f>'>]><version>" + kActiveX +
                                kPlugin + kConfig + nested + closing + "</version>";
    EXPECT_TRUE(manifestNestingWithin(atBound.c_str(), kMaxManifestNesting));
    EXPECT_TRUE(parse(atBound).ok);
    EXPECT_FALSE(manifestNestingWithin(("<o>" + atBound + "</o>").c_str(), kMaxManifestNesting));
}

TEST(VersionManifestParse, NestingCheckReadsDeclarationsAsTheParserDoes) {
    // Only "<!DOCTYPE" and white space opens a bracketed subset; any other "<!x" ends at its
    // first ">", and the elements after it nest. Under 1 MiB, deep enough to end the process.
    std::string deep = "<!x[>";
    for (int i = 0; i < 340000; ++i) deep += "<a>";
    Parsed p = parse(deep);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.log, std::vector<std::wstring>{L"1463"});

    // Differential: on every document the check accepts the parser nests exactly as deep as
    // the check says, and within the bound. Each prefix is a construct whose end the two must
    // agree on, followed by more levels than the bound allows.
    const char* prefixes[] = {
        "<!x[>", "<!DOCTYPE[>", "<!DOCTYPEx [>", "<!DOCTYPE a [<!ENTITY e '>'>]>", "<!D[>",
        "<!DOCTYPE\t[ [ ] ]>", "<!-x[>", "<!-- [ -->", "<!--->", "<![CDATA[ [ ]]>",
        "<![CDATA [>", "<?pi [ ?>", "<?xml version='1.0'?>", "<?xml?>", "<? [>",
        "\xEF\xBB\xBF", "<r a='>' b=\"'>\">", "<r a='[>'/>", "<r>&#x3c;", "<r>]]>",
        "<r></r x>", "<r></r>", "<r><!x]>", "<r/>", "<r a = '1' >", "<r a>", "",
    };
    for (const char* prefix : prefixes) {
        for (const uint32_t levels : {kMaxManifestNesting - 1, kMaxManifestNesting + 1, 5000u}) {
            std::string text = prefix;
            for (uint32_t i = 0; i < levels; ++i) text += "<a>";
            const uint32_t checked = xmlNestingDepth(text.c_str(), kMaxManifestNesting);
            if (checked > kMaxManifestNesting) continue;  // refused before the parser sees it
            std::vector<char> buffer(text.begin(), text.end());
            buffer.push_back('\0');
            rapidxml::xml_document<char> doc;
            // Unclosed elements: the parser throws at the end, having recursed as deep as the
            // text nests. Closed ones are measured in the parsed tree.
            try {
                doc.parse<rapidxml::parse_default>(buffer.data());
            } catch (const rapidxml::parse_error&) {
            }
            std::string closed = text;
            for (uint32_t i = 0; i < levels; ++i) closed += "</a>";
            std::vector<char> closedBuffer(closed.begin(), closed.end());
            closedBuffer.push_back('\0');
            const uint32_t closedChecked = xmlNestingDepth(closed.c_str(), kMaxManifestNesting);
            rapidxml::xml_document<char> closedDoc;
            try {
                closedDoc.parse<rapidxml::parse_default>(closedBuffer.data());
                EXPECT_EQ(parsedDepth(&closedDoc), closedChecked) << prefix << " " << levels;
            } catch (const rapidxml::parse_error&) {
            }
            EXPECT_LE(closedChecked, kMaxManifestNesting) << prefix << " " << levels;
        }
    }
}
