// The signed package's envelope, read as it streams. Oracles: the outcome does not depend on
// how the package is cut into blocks; the content handed on is exactly contentSize() bytes;
// and an accepted package is the detached form with its content put back, byte for byte (DER
// has one encoding, so nothing the parser skipped or re-encoded may differ).
#include <cstring>

#include "fuzz_support.h"
#include "support/content_collector.h"
#include "verify/signed_envelope.h"

namespace {

using Collect = testsupport::ContentCollector;

struct Outcome {
    SignedEnvelopeParser::Result result;
    uint64_t offset;
    std::vector<uint8_t> content;
};

Outcome parse(const uint8_t* data, size_t size, size_t block, SignedEnvelopeParser& parser) {
    Collect sink;
    bool going = true;
    for (size_t at = 0; going && at < size; at += block)
        going = parser.feed(data + at, std::min(block, size - at), sink);
    if (going) parser.finish();
    return Outcome{parser.result(), parser.failOffset(), sink.bytes};
}

// One element of a DER buffer known to be well formed (the parser's own output).
struct Element {
    uint8_t tag;
    const uint8_t* content;
    size_t length;
    size_t whole;
};

Element element(const uint8_t* p) {
    Element e{p[0], nullptr, 0, 0};
    size_t header = 2;
    if (p[1] < 0x80) {
        e.length = p[1];
    } else {
        const size_t count = p[1] & 0x7f;
        for (size_t i = 0; i < count; ++i) e.length = (e.length << 8) | p[2 + i];
        header += count;
    }
    e.content = p + header;
    e.whole = header + e.length;
    return e;
}

std::vector<uint8_t> wrap(uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{tag};
    appendDerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

void append(std::vector<uint8_t>& out, const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); }

// The detached message with the content put back into its encapsulated content info.
std::vector<uint8_t> attach(const std::vector<uint8_t>& detached, const std::vector<uint8_t>& content) {
    const Element info = element(detached.data());
    FUZZ_ASSERT(info.tag == 0x30 && info.whole == detached.size());
    const Element oid = element(info.content);
    const Element explicitTag = element(info.content + oid.whole);
    FUZZ_ASSERT(explicitTag.tag == 0xA0);
    const Element signedData = element(explicitTag.content);
    const Element version = element(signedData.content);
    const Element algorithms = element(signedData.content + version.whole);
    const uint8_t* encapAt = signedData.content + version.whole + algorithms.whole;
    const Element encap = element(encapAt);
    FUZZ_ASSERT(encap.tag == 0x30);
    const Element type = element(encap.content);
    FUZZ_ASSERT(type.whole == encap.length);

    std::vector<uint8_t> newEncap;
    append(newEncap, encap.content, type.whole);
    const std::vector<uint8_t> explicitContent = wrap(0xA0, wrap(0x04, content));
    newEncap.insert(newEncap.end(), explicitContent.begin(), explicitContent.end());

    std::vector<uint8_t> sd;
    append(sd, signedData.content, version.whole + algorithms.whole);
    const std::vector<uint8_t> wrappedEncap = wrap(0x30, newEncap);
    sd.insert(sd.end(), wrappedEncap.begin(), wrappedEncap.end());
    const size_t rest = signedData.length - version.whole - algorithms.whole - encap.whole;
    append(sd, encapAt + encap.whole, rest);

    std::vector<uint8_t> outer;
    append(outer, info.content, oid.whole);
    const std::vector<uint8_t> wrappedSd = wrap(0xA0, wrap(0x30, sd));
    outer.insert(outer.end(), wrappedSd.begin(), wrappedSd.end());
    return wrap(0x30, outer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t block = 1 + data[0] % 97;  // the second reading's block size
    ++data;
    --size;

    SignedEnvelopeParser whole;
    const Outcome one = parse(data, size, size ? size : 1, whole);
    SignedEnvelopeParser cut;
    const Outcome pieces = parse(data, size, block, cut);
    FUZZ_ASSERT(one.result == pieces.result);
    FUZZ_ASSERT(one.offset == pieces.offset);
    FUZZ_ASSERT(one.result != SignedEnvelopeParser::Result::Pending);
    FUZZ_ASSERT(one.result != SignedEnvelopeParser::Result::ContentRefused);
    if (one.result != SignedEnvelopeParser::Result::Complete) {
        FUZZ_ASSERT(one.offset <= size);
        return 0;
    }
    FUZZ_ASSERT(one.content == pieces.content);
    FUZZ_ASSERT(one.content.size() == whole.contentSize());
    FUZZ_ASSERT(whole.packageSize() == size);
    FUZZ_ASSERT(whole.detached() == cut.detached());
    const std::vector<uint8_t> detached = whole.detached();
    FUZZ_ASSERT(detached.size() + one.content.size() < size);
    const std::vector<uint8_t> again = attach(detached, one.content);
    FUZZ_ASSERT(again.size() == size && std::memcmp(again.data(), data, size) == 0);
    // The signer's parts lie in the message as they were read.
    const EnvelopeSigner& signer = whole.signer();
    FUZZ_ASSERT(!signer.signature.empty() && !signer.digestAlgorithm.empty());
    FUZZ_ASSERT(!signer.hasSignedAttributes ||
                (!signer.contentTypeValue.empty() && signer.signedAttributes[0] == 0xA0));
    return 0;
}
