#pragma once
// What the fuzz targets share: an oracle that fails loudly, the input cut into pieces, and a
// recorder of the codes a parser reports.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/message_sink.h"

// A broken oracle is a finding: abort, so libFuzzer keeps the input as a crash.
#define FUZZ_ASSERT(condition)                                                          \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "oracle failed: %s (%s:%d)\n", #condition, __FILE__,   \
                         __LINE__);                                                     \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

// The input as pieces separated by a byte that rarely occurs in text (0xFF).
inline std::vector<std::string> splitInput(const uint8_t* data, size_t size, size_t most) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && pieces.size() < most) pieces.emplace_back();
        else pieces.back() += static_cast<char>(data[i]);
    }
    return pieces;
}

// The text as the service hands it to a parser: NUL-terminated, stopping at the first NUL.
inline std::vector<char> terminated(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

class RecordingSink : public MessageSink {
public:
    void warning(MessageCode code) override { codes.push_back(code); }
    std::vector<MessageCode> codes;
};
