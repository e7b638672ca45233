#include "manifest/xml_nesting.h"

#include <rapidxml.hpp>

// The scan follows the parser's default-flag path step by step and uses the parser's own
// character tables, so that the two cannot disagree about where a construct ends.
namespace {

using Tables = rapidxml::internal::lookup_tables<0>;

inline bool isSpace(char c) { return Tables::lookup_whitespace[static_cast<unsigned char>(c)] != 0; }
inline bool isNameChar(char c) { return Tables::lookup_node_name[static_cast<unsigned char>(c)] != 0; }
inline bool isAttributeNameChar(char c) {
    return Tables::lookup_attribute_name[static_cast<unsigned char>(c)] != 0;
}

const char* skipSpace(const char* p) {
    while (isSpace(*p)) ++p;
    return p;
}

// Just past the first a b c sequence (c may be 0 for a two-character terminator); null at the
// end of the text, where the parser throws.
const char* skipPast(const char* p, char a, char b, char c) {
    for (; *p; ++p)
        if (p[0] == a && p[1] == b && (c == 0 || p[2] == c)) return p + (c ? 3 : 2);
    return nullptr;
}

// After "<!DOCTYPE" and one white space character: up to ">", bracketed runs nest.
const char* skipDoctype(const char* p) {
    while (*p != '>') {
        if (*p == '[') {
            ++p;
            int depth = 1;
            while (depth > 0) {
                if (*p == '[') ++depth;
                else if (*p == ']') --depth;
                else if (*p == 0) return nullptr;
                ++p;
            }
        } else if (*p == 0) {
            return nullptr;
        } else {
            ++p;
        }
    }
    return p + 1;
}

bool startsWith(const char* p, const char* prefix) {
    for (; *prefix; ++p, ++prefix)
        if (*p != *prefix) return false;
    return true;
}

enum class Step { Element, Open, Closed, Skipped, Stop };

// One node after its "<" (not a closing tag). Element: a self-closing element; Open: a start
// tag whose contents follow; Skipped: a node that makes no element; Stop: the parser throws.
Step scanNode(const char*& p) {
    if (*p == '?') {
        ++p;
        const bool declaration = (p[0] == 'x' || p[0] == 'X') && (p[1] == 'm' || p[1] == 'M') &&
                                 (p[2] == 'l' || p[2] == 'L') && isSpace(p[3]);
        p = skipPast(declaration ? p + 4 : p, '?', '>', 0);
        return p ? Step::Skipped : Step::Stop;
    }
    if (*p == '!') {
        if (p[1] == '-' && p[2] == '-') {
            p = skipPast(p + 3, '-', '-', '>');
        } else if (p[1] == '[' && startsWith(p + 2, "CDATA[")) {
            p = skipPast(p + 8, ']', ']', '>');
        } else if (p[1] == 'D' && startsWith(p + 2, "OCTYPE") && isSpace(p[8])) {
            p = skipDoctype(p + 9);
        } else {
            // Any other "<!": skipped to its first ">", whatever brackets it holds.
            ++p;
            while (*p != '>') {
                if (*p == 0) return Step::Stop;
                ++p;
            }
            ++p;
        }
        return p ? Step::Skipped : Step::Stop;
    }
    const char* name = p;
    while (isNameChar(*p)) ++p;
    if (p == name) return Step::Stop;
    p = skipSpace(p);
    while (isAttributeNameChar(*p)) {
        ++p;
        while (isAttributeNameChar(*p)) ++p;
        p = skipSpace(p);
        if (*p != '=') return Step::Stop;
        p = skipSpace(p + 1);
        const char quote = *p;
        if (quote != '\'' && quote != '"') return Step::Stop;
        ++p;
        // Entity references in a value never pass the quote or the end of the text.
        while (*p && *p != quote) ++p;
        if (*p != quote) return Step::Stop;
        p = skipSpace(p + 1);
    }
    if (*p == '>') {
        ++p;
        return Step::Open;
    }
    if (p[0] == '/' && p[1] == '>') {
        p += 2;
        return Step::Element;
    }
    return Step::Stop;
}

}  // namespace

uint32_t xmlNestingDepth(const char* text, uint32_t limit) {
    if (!text) return 0;
    const char* p = text;
    if (static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF)
        p += 3;
    uint32_t depth = 0;  // elements whose contents are being read
    uint32_t deepest = 0;
    for (;;) {
        p = skipSpace(p);
        if (depth == 0) {
            // The document level: white space and nodes only.
            if (*p != '<') return deepest;
            ++p;
        } else {
            if (*p == 0) return deepest;
            if (*p != '<') {
                // Character data runs to the next "<"; references in it never pass one.
                while (*p && *p != '<') ++p;
                continue;
            }
            if (p[1] == '/') {
                p += 2;
                while (isNameChar(*p)) ++p;
                p = skipSpace(p);
                if (*p != '>') return deepest;
                ++p;
                --depth;
                continue;
            }
            ++p;
        }
        const Step step = scanNode(p);
        if (step == Step::Stop) return deepest;
        if (step == Step::Element || step == Step::Open) {
            if (depth + 1 > deepest) deepest = depth + 1;
            if (deepest > limit) return deepest;
            if (step == Step::Open) ++depth;
        }
    }
}
