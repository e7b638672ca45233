// The signed package's DER envelope read as it streams, and its detached form.
#include "verify/signed_envelope.h"

#include <algorithm>

const char kOidContentType[] = "1.2.840.113549.1.9.3";
const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
const char kOidSignedData[] = "1.2.840.113549.1.7.2";

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kContext0 = 0xA0;  // constructed [0]
constexpr uint8_t kContext1 = 0xA1;  // constructed [1]

enum class Read { Ok, More, Bad, Indefinite };

struct Header {
    uint8_t tag = 0;
    size_t size = 0;      // tag and length octets
    uint64_t length = 0;  // content octets
};

// One TLV header in DER: a low tag number, a definite length in its shortest form and at most
// four length octets. The constructed indefinite form (0x80) is BER and reported as such.
Read readHeader(const uint8_t* p, size_t available, Header& h) {
    if (available < 2) return Read::More;
    h.tag = p[0];
    if ((p[0] & 0x1f) == 0x1f) return Read::Bad;  // high tag numbers: none in this format
    const uint8_t first = p[1];
    if (first < 0x80) {
        h.size = 2;
        h.length = first;
        return Read::Ok;
    }
    if (first == 0x80) return (p[0] & 0x20) ? Read::Indefinite : Read::Bad;
    const size_t count = first & 0x7f;
    if (count > 4) return Read::Bad;
    if (available < 2 + count) return Read::More;
    if (p[2] == 0) return Read::Bad;  // a leading zero octet: not the shortest form
    uint64_t length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | p[2 + i];
    if (length < 0x80) return Read::Bad;  // fits the short form
    h.size = 2 + count;
    h.length = length;
    return Read::Ok;
}

// Whole elements inside a buffer that holds them all.
class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool atEnd() const { return pos_ == size_; }
    size_t position() const { return pos_; }
    bool indefinite() const { return indefinite_; }

    // The tag of the next element; false at the end.
    bool peek(uint8_t& tag) const {
        if (pos_ >= size_) return false;
        tag = data_[pos_];
        return true;
    }
    // The next element when it has this tag and lies wholly inside: its content and, when
    // asked, the whole element (header included).
    bool next(uint8_t tag, const uint8_t*& content, size_t& length, const uint8_t** whole = nullptr,
              size_t* wholeSize = nullptr) {
        Header h;
        const Read read = readHeader(data_ + pos_, size_ - pos_, h);
        if (read == Read::Indefinite) indefinite_ = true;
        if (read != Read::Ok || h.tag != tag || h.length > size_ - pos_ - h.size) return false;
        if (whole) *whole = data_ + pos_;
        if (wholeSize) *wholeSize = h.size + static_cast<size_t>(h.length);
        content = data_ + pos_ + h.size;
        length = static_cast<size_t>(h.length);
        pos_ += h.size + static_cast<size_t>(h.length);
        return true;
    }
    // The next element, whatever its tag.
    bool skip() {
        uint8_t tag = 0;
        const uint8_t* content = nullptr;
        size_t length = 0;
        return peek(tag) && next(tag, content, length);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool indefinite_ = false;
};

std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// AlgorithmIdentifier: the OID's content octets; parameters, when present, are one element.
bool algorithm(const uint8_t* p, size_t n, std::vector<uint8_t>& oid) {
    Cursor c(p, n);
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!c.next(kOid, content, length) || length == 0) return false;
    oid = bytes(content, length);
    if (!c.atEnd() && !c.skip()) return false;
    return c.atEnd();
}

// The signed attributes: each Attribute is SEQUENCE { OID, SET OF value }. contentType and
// messageDigest must each be there once, with one value.
bool signedAttributes(const uint8_t* p, size_t n, EnvelopeSigner& s) {
    Cursor c(p, n);
    bool contentTypeSeen = false;
    bool messageDigestSeen = false;
    while (!c.atEnd()) {
        const uint8_t* attribute = nullptr;
        size_t attributeLength = 0;
        if (!c.next(kSequence, attribute, attributeLength)) return false;
        Cursor a(attribute, attributeLength);
        const uint8_t* oid = nullptr;
        size_t oidLength = 0;
        const uint8_t* values = nullptr;
        size_t valuesLength = 0;
        if (!a.next(kOid, oid, oidLength) || !a.next(kSet, values, valuesLength) || !a.atEnd())
            return false;
        const std::string name = oidText(bytes(oid, oidLength));
        if (name.empty()) return false;
        Cursor v(values, valuesLength);
        if (name == kOidContentType) {
            const uint8_t* value = nullptr;
            size_t length = 0;
            const uint8_t* whole = nullptr;
            size_t wholeSize = 0;
            if (contentTypeSeen || !v.next(kOid, value, length, &whole, &wholeSize) || !v.atEnd())
                return false;
            s.contentTypeValue = bytes(whole, wholeSize);
            contentTypeSeen = true;
        } else if (name == kOidMessageDigest) {
            const uint8_t* value = nullptr;
            size_t length = 0;
            if (messageDigestSeen || !v.next(kOctetString, value, length) || !v.atEnd())
                return false;
            s.messageDigest = bytes(value, length);
            messageDigestSeen = true;
        } else {
            while (!v.atEnd())
                if (!v.skip()) return false;
        }
    }
    return contentTypeSeen && messageDigestSeen;
}

// SignerInfo: version, sid, digestAlgorithm, [0] signedAttrs, signatureAlgorithm, signature,
// [1] unsignedAttrs.
bool signerInfo(const uint8_t* whole, size_t wholeSize, const uint8_t* p, size_t n,
                EnvelopeSigner& s) {
    s = EnvelopeSigner{};
    s.encoded = bytes(whole, wholeSize);
    Cursor c(p, n);
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!c.next(kInteger, content, length) || length == 0) return false;
    if (!c.skip()) return false;  // issuerAndSerialNumber or subjectKeyIdentifier
    if (!c.next(kSequence, content, length) || !algorithm(content, length, s.digestAlgorithm))
        return false;
    uint8_t tag = 0;
    if (c.peek(tag) && tag == kContext0) {
        const uint8_t* attributes = nullptr;
        size_t attributesSize = 0;
        if (!c.next(kContext0, content, length, &attributes, &attributesSize) ||
            !signedAttributes(content, length, s))
            return false;
        s.hasSignedAttributes = true;
        s.signedAttributes = bytes(attributes, attributesSize);
    }
    if (!c.next(kSequence, content, length) || !algorithm(content, length, s.signatureAlgorithm))
        return false;
    if (!c.next(kOctetString, content, length) || length == 0) return false;
    s.signature = bytes(content, length);
    if (c.peek(tag) && tag == kContext1 && !c.next(kContext1, content, length)) return false;
    return c.atEnd();
}

}  // namespace

void appendDerLength(std::vector<uint8_t>& out, uint64_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t octets[8];
    size_t count = 0;
    for (uint64_t rest = length; rest; rest >>= 8) octets[count++] = static_cast<uint8_t>(rest);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count) out.push_back(octets[--count]);
}

std::string oidText(const std::vector<uint8_t>& octets) {
    if (octets.empty() || (octets.back() & 0x80)) return std::string();
    std::string text;
    uint64_t value = 0;
    bool first = true;
    for (size_t i = 0; i < octets.size(); ++i) {
        if (value == 0 && octets[i] == 0x80) return std::string();  // not the shortest form
        if (value > (UINT64_MAX >> 7)) return std::string();
        value = (value << 7) | (octets[i] & 0x7f);
        if (octets[i] & 0x80) continue;
        if (first) {
            const uint64_t arc = value < 40 ? 0 : value < 80 ? 1 : 2;
            text = std::to_string(arc) + "." + std::to_string(value - 40 * arc);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    return text;
}

bool SignedEnvelopeParser::fail(Result result, uint64_t offset) {
    state_ = State::Failed;
    result_ = result;
    failOffset_ = offset;
    head_.clear();
    trailer_.clear();
    return false;
}

// The head, from the package's first byte to the content's first: ContentInfo { signedData,
// [0] SignedData { version, digestAlgorithms, encapContentInfo { eContentType, [0] OCTET
// STRING header } ... } }. Every enclosing length must end where the message ends. False with
// result_ still Pending when the head is not all there yet.
bool SignedEnvelopeParser::parseHead() {
    const uint8_t* p = head_.data();
    const size_t n = head_.size();
    size_t pos = 0;
    Header h;
    auto step = [&](uint8_t tag, bool whole) -> Read {
        const Read read = readHeader(p + pos, n - pos, h);
        if (read != Read::Ok) return read;
        if (h.tag != tag) return Read::Bad;
        if (whole && n - pos < h.size + h.length) return Read::More;
        return Read::Ok;
    };
    auto failed = [&](Read read) {
        if (read == Read::More) {
            if (n >= kEnvelopeMaxHeadBytes) return fail(Result::Malformed, n);
            return false;  // wait for more
        }
        return fail(read == Read::Indefinite ? Result::IndefiniteLength : Result::Malformed, pos);
    };
    Read r = step(kSequence, false);
    if (r != Read::Ok) return failed(r);
    const uint64_t end = h.size + h.length;  // the whole package
    pos += h.size;
    r = step(kOid, true);
    if (r != Read::Ok) return failed(r);
    outerOid_ = bytes(p + pos, h.size + static_cast<size_t>(h.length));
    if (oidText(bytes(p + pos + h.size, static_cast<size_t>(h.length))) != kOidSignedData)
        return fail(Result::Malformed, pos);
    pos += h.size + static_cast<size_t>(h.length);
    r = step(kContext0, false);
    if (r != Read::Ok) return failed(r);
    if (pos + h.size + h.length != end) return fail(Result::Malformed, pos);
    pos += h.size;
    r = step(kSequence, false);
    if (r != Read::Ok) return failed(r);
    if (pos + h.size + h.length != end) return fail(Result::Malformed, pos);
    pos += h.size;
    r = step(kInteger, true);
    if (r != Read::Ok) return failed(r);
    if (h.length == 0) return fail(Result::Malformed, pos);
    version_ = bytes(p + pos, h.size + static_cast<size_t>(h.length));
    pos += h.size + static_cast<size_t>(h.length);
    r = step(kSet, true);
    if (r != Read::Ok) return failed(r);
    digestAlgorithmSet_ = bytes(p + pos, h.size + static_cast<size_t>(h.length));
    {
        digestAlgorithms_.clear();
        Cursor c(p + pos + h.size, static_cast<size_t>(h.length));
        while (!c.atEnd()) {
            const uint8_t* content = nullptr;
            size_t length = 0;
            std::vector<uint8_t> oid;
            if (digestAlgorithms_.size() == kEnvelopeMaxDigestAlgorithms ||
                !c.next(kSequence, content, length) || !algorithm(content, length, oid))
                return fail(Result::Malformed, pos + h.size + c.position());
            digestAlgorithms_.push_back(oid);
        }
    }
    pos += h.size + static_cast<size_t>(h.length);
    r = step(kSequence, false);  // encapContentInfo
    if (r != Read::Ok) return failed(r);
    const uint64_t encapEnd = pos + h.size + h.length;
    if (encapEnd > end) return fail(Result::Malformed, pos);
    pos += h.size;
    r = step(kOid, true);
    if (r != Read::Ok) return failed(r);
    if (oidText(bytes(p + pos + h.size, static_cast<size_t>(h.length))).empty())
        return fail(Result::Malformed, pos);
    contentType_ = bytes(p + pos, h.size + static_cast<size_t>(h.length));
    pos += h.size + static_cast<size_t>(h.length);
    if (pos >= encapEnd) return fail(Result::Malformed, pos);  // no content: a detached message
    r = step(kContext0, false);
    if (r != Read::Ok) return failed(r);
    if (pos + h.size + h.length != encapEnd) return fail(Result::Malformed, pos);
    pos += h.size;
    {
        const Read read = readHeader(p + pos, n - pos, h);
        if (read == Read::Ok && h.tag != kOctetString) return fail(Result::Malformed, pos);
        if (read != Read::Ok) return failed(read);
    }
    if (pos + h.size + h.length != encapEnd) return fail(Result::Malformed, pos);
    pos += h.size;
    contentStart_ = pos;
    contentSize_ = h.length;
    trailerSize_ = end - encapEnd;
    packageSize_ = end;
    if (trailerSize_ > kEnvelopeMaxTrailerBytes) return fail(Result::Malformed, encapEnd);
    return true;
}

bool SignedEnvelopeParser::body(const uint8_t* data, size_t size, EnvelopeContentSink& sink) {
    while (size > 0) {
        if (state_ == State::Content) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(size, contentLeft_));
            if (n > 0 && !sink.content(data, n)) return fail(Result::ContentRefused, consumed_);
            consumed_ += n;
            contentLeft_ -= n;
            data += n;
            size -= n;
            if (contentLeft_ == 0) state_ = State::Trailer;
            continue;
        }
        // The trailer: what is left of the message, and nothing after it.
        if (size > trailerSize_ - trailer_.size())
            return fail(Result::Malformed, consumed_ + (trailerSize_ - trailer_.size()));
        trailer_.insert(trailer_.end(), data, data + size);
        consumed_ += size;
        size = 0;
    }
    return true;
}

bool SignedEnvelopeParser::feed(const uint8_t* data, size_t size, EnvelopeContentSink& sink) {
    if (state_ == State::Failed || state_ == State::Done) return false;
    while (size > 0 && state_ == State::Head) {
        const size_t take = std::min(size, kEnvelopeMaxHeadBytes - head_.size());
        head_.insert(head_.end(), data, data + take);
        data += take;
        size -= take;
        if (!parseHead()) {
            if (state_ == State::Failed) return false;
            consumed_ = head_.size();
            continue;  // the head needs more bytes
        }
        // The bytes taken past the head belong to the content and what follows it.
        std::vector<uint8_t> rest(head_.begin() + static_cast<ptrdiff_t>(contentStart_), head_.end());
        head_.resize(static_cast<size_t>(contentStart_));
        consumed_ = contentStart_;
        contentLeft_ = contentSize_;
        state_ = contentSize_ ? State::Content : State::Trailer;
        if (!body(rest.data(), rest.size(), sink)) return false;
    }
    return size == 0 || body(data, size, sink);
}

bool SignedEnvelopeParser::parseTrailer() {
    Cursor c(trailer_.data(), trailer_.size());
    const uint64_t base = consumed_ - trailer_.size();
    const uint8_t* content = nullptr;
    size_t length = 0;
    uint8_t tag = 0;
    auto bad = [&]() {
        return fail(c.indefinite() ? Result::IndefiniteLength : Result::Malformed,
                    base + c.position());
    };
    if (c.peek(tag) && tag == kContext0 && !c.next(kContext0, content, length)) return bad();
    if (c.peek(tag) && tag == kContext1 && !c.next(kContext1, content, length)) return bad();
    if (!c.next(kSet, content, length) || !c.atEnd()) return bad();
    Cursor signers(content, length);
    const uint8_t* whole = nullptr;
    size_t wholeSize = 0;
    if (!signers.next(kSequence, content, length, &whole, &wholeSize) ||
        !signerInfo(whole, wholeSize, content, length, signer_))
        return fail(Result::Malformed, base + c.position());
    while (!signers.atEnd())
        if (!signers.next(kSequence, content, length)) return fail(Result::Malformed, base);
    return true;
}

bool SignedEnvelopeParser::finish() {
    if (state_ == State::Failed) return false;
    if (state_ == State::Done) return true;
    if (state_ != State::Trailer || trailer_.size() != trailerSize_)
        return fail(Result::Malformed, consumed_);  // cut short
    if (!parseTrailer()) return false;
    state_ = State::Done;
    result_ = Result::Complete;
    return true;
}

std::vector<uint8_t> SignedEnvelopeParser::detached() const {
    std::vector<uint8_t> encap;
    encap.push_back(kSequence);
    appendDerLength(encap, contentType_.size());
    encap.insert(encap.end(), contentType_.begin(), contentType_.end());

    std::vector<uint8_t> signedData;
    const uint64_t inner = version_.size() + digestAlgorithmSet_.size() + encap.size() + trailer_.size();
    signedData.push_back(kSequence);
    appendDerLength(signedData, inner);
    signedData.insert(signedData.end(), version_.begin(), version_.end());
    signedData.insert(signedData.end(), digestAlgorithmSet_.begin(), digestAlgorithmSet_.end());
    signedData.insert(signedData.end(), encap.begin(), encap.end());
    signedData.insert(signedData.end(), trailer_.begin(), trailer_.end());

    std::vector<uint8_t> explicitTag;
    explicitTag.push_back(kContext0);
    appendDerLength(explicitTag, signedData.size());
    explicitTag.insert(explicitTag.end(), signedData.begin(), signedData.end());

    std::vector<uint8_t> out;
    out.push_back(kSequence);
    appendDerLength(out, outerOid_.size() + explicitTag.size());
    out.insert(out.end(), outerOid_.begin(), outerOid_.end());
    out.insert(out.end(), explicitTag.begin(), explicitTag.end());
    return out;
}
