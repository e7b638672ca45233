#pragma once
// The envelope of a signed package, read as it streams: a DER ContentInfo holding a SignedData
// whose encapsulated content (the installer) is one OCTET STRING. The parser hands the content's
// bytes on as they pass, keeps the small parts around them (the head before the content, the
// certificates and signers after it), and re-encodes the message without its content (the
// detached form, a few KiB whatever the package's size). Definite-length DER only: the BER
// indefinite-length form that streaming signers write is refused with its own result.
// Portable: no Windows call, so that the fuzz build compiles it as the service ships it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where the content's bytes go as they are found.
class EnvelopeContentSink {
public:
    virtual ~EnvelopeContentSink() = default;
    // False stops the parse (result ContentRefused).
    virtual bool content(const uint8_t* data, size_t size) = 0;
};

// What the first signer of the message says about itself, as encoded.
struct EnvelopeSigner {
    std::vector<uint8_t> encoded;             // the whole SignerInfo
    std::vector<uint8_t> digestAlgorithm;     // OID content octets
    bool hasSignedAttributes = false;
    std::vector<uint8_t> signedAttributes;    // the [0] element as encoded (tag 0xA0)
    std::vector<uint8_t> contentTypeValue;    // the contentType attribute's value (an OID TLV)
    std::vector<uint8_t> messageDigest;       // the messageDigest attribute's octets
    std::vector<uint8_t> signatureAlgorithm;  // OID content octets
    std::vector<uint8_t> signature;           // the signature's octets
};

// Bounds of the parts kept in memory: everything else is the content, which is never kept.
constexpr size_t kEnvelopeMaxHeadBytes = 64 * 1024;     // up to the content's first byte
constexpr size_t kEnvelopeMaxTrailerBytes = 1024 * 1024;  // certificates, CRLs and signers
constexpr size_t kEnvelopeMaxDigestAlgorithms = 8;

class SignedEnvelopeParser {
public:
    enum class Result {
        Pending,           // more bytes, or finish(), are needed
        Complete,          // finish() found a whole, well-formed message
        Malformed,         // not a DER signed message with embedded content
        IndefiniteLength,  // BER indefinite lengths (a streamed encoding): not read
        ContentRefused,    // the content sink refused a block
    };

    // The next bytes of the package, in order. False once the parse failed (result() says why).
    bool feed(const uint8_t* data, size_t size, EnvelopeContentSink& sink);
    // The package ended: true when it was one whole message and its signer reads.
    bool finish();

    Result result() const { return result_; }
    // The package offset at which the parse failed.
    uint64_t failOffset() const { return failOffset_; }

    // Known once the head was read (headRead()): the digest algorithms the message lists
    // (OID content octets) and the content's length.
    bool headRead() const { return state_ != State::Head; }
    const std::vector<std::vector<uint8_t>>& digestAlgorithms() const { return digestAlgorithms_; }
    uint64_t contentSize() const { return contentSize_; }
    uint64_t packageSize() const { return packageSize_; }

    // Known after a successful finish().
    const std::vector<uint8_t>& contentType() const { return contentType_; }  // the OID TLV
    const EnvelopeSigner& signer() const { return signer_; }
    // The message without its content: the same encoding with the encapsulated content left
    // out and the enclosing lengths re-encoded.
    std::vector<uint8_t> detached() const;

private:
    enum class State { Head, Content, Trailer, Done, Failed };
    bool fail(Result result, uint64_t offset);
    bool parseHead();
    bool body(const uint8_t* data, size_t size, EnvelopeContentSink& sink);
    bool parseTrailer();

    State state_ = State::Head;
    Result result_ = Result::Pending;
    uint64_t failOffset_ = 0;
    uint64_t consumed_ = 0;  // package bytes taken so far
    std::vector<uint8_t> head_;
    std::vector<uint8_t> trailer_;
    uint64_t contentStart_ = 0;
    uint64_t contentSize_ = 0;
    uint64_t contentLeft_ = 0;
    uint64_t trailerSize_ = 0;
    uint64_t packageSize_ = 0;
    std::vector<uint8_t> outerOid_;          // the contentType of the ContentInfo, as encoded
    std::vector<uint8_t> version_;           // SignedData version, as encoded
    std::vector<uint8_t> digestAlgorithmSet_;  // as encoded
    std::vector<std::vector<uint8_t>> digestAlgorithms_;
    std::vector<uint8_t> contentType_;
    EnvelopeSigner signer_;
};

// The DER length octets of a length.
void appendDerLength(std::vector<uint8_t>& out, uint64_t length);
// An OID's content octets in dotted text ("2.16.840.1.101.3.4.2.1"); empty when malformed.
std::string oidText(const std::vector<uint8_t>& octets);

// The contentType attribute's and messageDigest attribute's OIDs, dotted.
extern const char kOidContentType[];
extern const char kOidMessageDigest[];
extern const char kOidSignedData[];
