#pragma once
// A content sink of the envelope reader that keeps every byte handed to it, in order.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "verify/signed_envelope.h"

namespace testsupport {

class ContentCollector : public EnvelopeContentSink {
public:
    bool content(const uint8_t* data, size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    std::vector<uint8_t> bytes;
};

}  // namespace testsupport
