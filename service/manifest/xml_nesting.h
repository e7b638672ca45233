#pragma once
// How deep the XML parser will nest elements when it parses a text, found without recursion
// before the parser sees the text (the parser recurses once per level and has no bound).
#include <cstdint>

// The deepest element nesting (a top-level element is 1) that the parser reaches on this
// NUL-terminated text with its default flags, counting stopped once it passes limit + 1.
// The scan reads the text exactly as the parser does: "<!DOCTYPE" followed by white space
// skips a bracketed subset, any other "<!x" ends at its first ">", comments, CDATA sections
// and processing instructions end at their terminators, quoted attribute values may hold
// ">". Where the parser would throw, the scan stops: the parser goes no deeper either.
uint32_t xmlNestingDepth(const char* text, uint32_t limit);

// False when the parser would nest elements in the text deeper than limit.
inline bool xmlNestingWithin(const char* text, uint32_t limit) {
    return xmlNestingDepth(text, limit) <= limit;
}
