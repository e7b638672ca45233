// Element nesting of a parsed RapidXML document, walked without recursion: what the nesting
// check must find for the same text (the manifest tests and the fuzz target both hold it to it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <rapidxml.hpp>

inline uint32_t parsedDepth(const rapidxml::xml_node<char>* root) {
    uint32_t deepest = 0;
    std::vector<std::pair<const rapidxml::xml_node<char>*, uint32_t>> pending{{root, 0}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        for (auto* child = node->first_node(); child; child = child->next_sibling())
            if (child->type() == rapidxml::node_element) pending.push_back({child, depth + 1});
    }
    return deepest;
}
