// The signed package's envelope read as it streams, on messages built here element by element:
// what it accepts, what it refuses (and with which result and offset), the content it hands
// on whatever the block size, and the detached form it re-encodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/content_collector.h"
#include "verify/signed_envelope.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    appendDerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes kSignedDataOid = tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02});
const Bytes kDataOid = tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01});
const Bytes kSha256 = tlv(0x30, cat({tlv(0x06, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}),
                                    tlv(0x05, {})}));
const Bytes kRsa = tlv(0x30, cat({tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01}),
                                 tlv(0x05, {})}));
const Bytes kContentTypeOid = tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x03});
const Bytes kMessageDigestOid = tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x04});
const Bytes kSid = tlv(0x30, cat({tlv(0x30, tlv(0x31, tlv(0x30, cat({tlv(0x06, {0x55, 0x04, 0x03}),
                                                                     tlv(0x0c, text("CA"))})))),
                                 tlv(0x02, {0x05})}));
const Bytes kDigest(32, 0xab);

Bytes attribute(const Bytes& oid, const Bytes& value) { return tlv(0x30, cat({oid, tlv(0x31, value)})); }

Bytes standardAttributes() {
    return cat({attribute(kContentTypeOid, kDataOid), attribute(kMessageDigestOid, tlv(0x04, kDigest))});
}

// A SignerInfo, with signed attributes when attributes is not empty.
Bytes signer(const Bytes& attributes, const Bytes& signature = Bytes(200, 0x5a)) {
    return tlv(0x30, cat({tlv(0x02, {0x01}), kSid, kSha256,
                          attributes.empty() ? Bytes() : tlv(0xA0, attributes), kRsa,
                          tlv(0x04, signature)}));
}

// The parts of a message, each replaceable by a case.
struct Parts {
    Bytes version = tlv(0x02, {0x01});
    Bytes algorithms = tlv(0x31, kSha256);
    Bytes contentType = kDataOid;
    Bytes encapsulated = tlv(0xA0, tlv(0x04, text("MZ installer bytes")));  // empty: detached
    Bytes certificates = tlv(0xA0, tlv(0x30, text("a certificate")));
    Bytes signers = tlv(0x31, signer(standardAttributes()));
    Bytes outerOid = kSignedDataOid;
};

Bytes message(const Parts& p) {
    const Bytes encap = tlv(0x30, cat({p.contentType, p.encapsulated}));
    const Bytes signedData = tlv(0x30, cat({p.version, p.algorithms, encap, p.certificates, p.signers}));
    return tlv(0x30, cat({p.outerOid, tlv(0xA0, signedData)}));
}

using Collect = testsupport::ContentCollector;

struct Outcome {
    bool ok;
    SignedEnvelopeParser::Result result;
    uint64_t offset;
    Bytes content;
};

Outcome parse(const Bytes& package, size_t block, SignedEnvelopeParser& parser) {
    Collect sink;
    bool ok = true;
    for (size_t at = 0; ok && at < package.size(); at += block)
        ok = parser.feed(package.data() + at, std::min(block, package.size() - at), sink);
    ok = ok && parser.finish();
    return Outcome{ok, parser.result(), parser.failOffset(), sink.bytes};
}

Outcome parse(const Bytes& package, size_t block = 1 << 20) {
    SignedEnvelopeParser parser;
    return parse(package, block, parser);
}

}  // namespace

TEST(SignedEnvelope, HandsOnTheContentAndKeepsTheSignerWhateverTheBlockSize) {
    Parts parts;
    const Bytes package = message(parts);
    for (size_t block : {size_t(1), size_t(2), size_t(7), size_t(64), package.size()}) {
        SignedEnvelopeParser parser;
        const Outcome run = parse(package, block, parser);
        ASSERT_TRUE(run.ok) << "block " << block;
        EXPECT_EQ(run.content, text("MZ installer bytes"));
        EXPECT_EQ(parser.contentSize(), 18u);
        EXPECT_EQ(parser.packageSize(), package.size());
        EXPECT_EQ(parser.contentType(), kDataOid);
        ASSERT_EQ(parser.digestAlgorithms().size(), 1u);
        EXPECT_EQ(oidText(parser.digestAlgorithms()[0]), "2.16.840.1.101.3.4.2.1");
        const EnvelopeSigner& s = parser.signer();
        EXPECT_EQ(oidText(s.digestAlgorithm), "2.16.840.1.101.3.4.2.1");
        EXPECT_EQ(oidText(s.signatureAlgorithm), "1.2.840.113549.1.1.1");
        EXPECT_TRUE(s.hasSignedAttributes);
        EXPECT_EQ(s.signedAttributes, tlv(0xA0, standardAttributes()));
        EXPECT_EQ(s.contentTypeValue, kDataOid);
        EXPECT_EQ(s.messageDigest, kDigest);
        EXPECT_EQ(s.signature, Bytes(200, 0x5a));
        EXPECT_EQ(s.encoded, signer(standardAttributes()));
    }
}

TEST(SignedEnvelope, DetachedFormIsTheMessageWithoutItsContent) {
    Parts parts;
    SignedEnvelopeParser parser;
    ASSERT_TRUE(parse(message(parts), 5, parser).ok);
    Parts detached = parts;
    detached.encapsulated.clear();
    EXPECT_EQ(parser.detached(), message(detached));
}

TEST(SignedEnvelope, ContentOfEveryLengthFormStreams) {
    // Short form, one, two and three length octets: the content's bytes come out as they went in.
    for (size_t size : {size_t(0), size_t(5), size_t(127), size_t(128), size_t(300), size_t(70000)}) {
        Parts parts;
        Bytes content(size);
        for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(i * 7);
        parts.encapsulated = tlv(0xA0, tlv(0x04, content));
        const Outcome run = parse(message(parts), 4096);
        ASSERT_TRUE(run.ok) << size;
        EXPECT_EQ(run.content, content);
    }
}

TEST(SignedEnvelope, WithoutSignedAttributesTheSignerStillReads) {
    Parts parts;
    parts.signers = tlv(0x31, cat({signer({}), signer(standardAttributes())}));
    SignedEnvelopeParser parser;
    ASSERT_TRUE(parse(message(parts), 3, parser).ok);
    EXPECT_FALSE(parser.signer().hasSignedAttributes);  // the first signer counts
    EXPECT_TRUE(parser.signer().messageDigest.empty());
}

TEST(SignedEnvelope, RefusesWhatIsNotOneDerSignedMessageWithEmbeddedContent) {
    using R = SignedEnvelopeParser::Result;
    struct Case {
        const char* name;
        Bytes package;
        R result;
    };
    const Bytes good = message(Parts{});
    std::vector<Case> cases;
    auto with = [](auto change) {
        Parts p;
        change(p);
        return message(p);
    };
    cases.push_back({"html page", text("<html><body>404 Not Found</body></html>"), R::Malformed});
    cases.push_back({"empty", {}, R::Malformed});
    cases.push_back({"cut short", Bytes(good.begin(), good.end() - 1), R::Malformed});
    {
        Bytes longer = good;
        longer.push_back(0);
        cases.push_back({"a byte after the message", longer, R::Malformed});
    }
    {
        // The streamed BER form: the outer sequence with an indefinite length.
        Bytes streamed = {0x30, 0x80};
        streamed.insert(streamed.end(), kSignedDataOid.begin(), kSignedDataOid.end());
        streamed.insert(streamed.end(), {0xA0, 0x80, 0x30, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
        cases.push_back({"indefinite lengths", streamed, R::IndefiniteLength});
    }
    cases.push_back({"indefinite content", with([](Parts& p) {
                         p.encapsulated = cat({Bytes{0xA0, 0x80, 0x24, 0x80}, tlv(0x04, text("MZ")),
                                               Bytes{0, 0, 0, 0}});
                     }),
                     R::IndefiniteLength});
    {
        Bytes padded = good;  // 0x30 0x82 hi lo -> a length with a leading zero octet
        ASSERT_EQ(padded[1], 0x82);
        padded.insert(padded.begin() + 1, 0x83);
        padded[2] = 0x00;
        cases.push_back({"length not in its shortest form", padded, R::Malformed});
    }
    cases.push_back({"a length in the long form that fits the short one", with([](Parts& p) {
                         p.version = {0x02, 0x81, 0x01, 0x01};
                     }),
                     R::Malformed});
    {
        // The SignedData ends before the message does: the signers follow it inside [0], or
        // follow [0] inside the outer sequence. Read as a whole they would make one message
        // that the detached form would not be.
        Parts p;
        const Bytes encap = tlv(0x30, cat({p.contentType, p.encapsulated}));
        const Bytes shortSignedData = tlv(0x30, cat({p.version, p.algorithms, encap, p.certificates}));
        cases.push_back({"signers after the SignedData inside [0]",
                         tlv(0x30, cat({p.outerOid, tlv(0xA0, cat({shortSignedData, p.signers}))})),
                         R::Malformed});
        // [0] says it ends one byte before the SignedData inside it, which runs to the end.
        Bytes shortTag = message(p);
        const size_t at = 4 + kSignedDataOid.size();  // outer header 30 82 hi lo, then the OID
        ASSERT_EQ(shortTag[at], 0xA0);
        ASSERT_EQ(shortTag[at + 1], 0x82);
        const unsigned length = (shortTag[at + 2] << 8 | shortTag[at + 3]) - 1;
        shortTag[at + 2] = static_cast<uint8_t>(length >> 8);
        shortTag[at + 3] = static_cast<uint8_t>(length);
        cases.push_back({"[0] shorter than the SignedData inside it", shortTag, R::Malformed});
        cases.push_back({"signers after [0] inside the message",
                         tlv(0x30, cat({p.outerOid, tlv(0xA0, shortSignedData), p.signers})),
                         R::Malformed});
    }
    cases.push_back({"another content type outside", with([](Parts& p) { p.outerOid = kDataOid; }),
                     R::Malformed});
    cases.push_back({"detached message", with([](Parts& p) { p.encapsulated.clear(); }), R::Malformed});
    cases.push_back({"content in pieces", with([](Parts& p) {
                         p.encapsulated = tlv(0xA0, tlv(0x24, tlv(0x04, text("MZ"))));
                     }),
                     R::Malformed});
    cases.push_back({"no signer", with([](Parts& p) { p.signers = tlv(0x31, {}); }), R::Malformed});
    cases.push_back({"no signer set", with([](Parts& p) { p.signers.clear(); }), R::Malformed});
    cases.push_back({"signed attributes without messageDigest", with([](Parts& p) {
                         p.signers = tlv(0x31, signer(attribute(kContentTypeOid, kDataOid)));
                     }),
                     R::Malformed});
    cases.push_back({"signed attributes without contentType", with([](Parts& p) {
                         p.signers = tlv(0x31, signer(attribute(kMessageDigestOid, tlv(0x04, kDigest))));
                     }),
                     R::Malformed});
    cases.push_back({"two messageDigest attributes", with([](Parts& p) {
                         p.signers = tlv(0x31, signer(cat({standardAttributes(),
                                                           attribute(kMessageDigestOid, tlv(0x04, kDigest))})));
                     }),
                     R::Malformed});
    cases.push_back({"messageDigest with two values", with([](Parts& p) {
                         p.signers = tlv(0x31, signer(cat({attribute(kContentTypeOid, kDataOid),
                                                           attribute(kMessageDigestOid,
                                                                     cat({tlv(0x04, kDigest), tlv(0x04, kDigest)}))})));
                     }),
                     R::Malformed});
    cases.push_back({"empty signature", with([](Parts& p) { p.signers = tlv(0x31, signer(standardAttributes(), {})); }),
                     R::Malformed});
    cases.push_back({"a digest algorithm without its OID", with([](Parts& p) {
                         p.algorithms = tlv(0x31, tlv(0x30, tlv(0x05, {})));
                     }),
                     R::Malformed});
    for (const Case& c : cases) {
        for (size_t block : {size_t(1), size_t(1) << 20}) {
            const Outcome run = parse(c.package, block);
            EXPECT_FALSE(run.ok) << c.name;
            EXPECT_EQ(run.result, c.result) << c.name << " in blocks of " << block;
            EXPECT_LE(run.offset, c.package.size()) << c.name;
        }
    }
}

TEST(SignedEnvelope, FailOffsetNamesWhereTheMessageStopsBeingOne) {
    Bytes longer = message(Parts{});
    const size_t end = longer.size();
    longer.insert(longer.end(), {0x00, 0x01, 0x02});
    const Outcome run = parse(longer, 2);
    EXPECT_EQ(run.result, SignedEnvelopeParser::Result::Malformed);
    EXPECT_EQ(run.offset, end);
}

TEST(SignedEnvelope, ARefusingSinkStopsTheParse) {
    class Refuse : public EnvelopeContentSink {
    public:
        bool content(const uint8_t*, size_t) override { return false; }
    } refuse;
    SignedEnvelopeParser parser;
    const Bytes package = message(Parts{});
    EXPECT_FALSE(parser.feed(package.data(), package.size(), refuse));
    EXPECT_EQ(parser.result(), SignedEnvelopeParser::Result::ContentRefused);
    EXPECT_FALSE(parser.finish());
}

TEST(SignedEnvelope, OidText) {
    EXPECT_EQ(oidText({0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02}), "1.2.840.113549.1.7.2");
    EXPECT_EQ(oidText({0x2b, 0x0e, 0x03, 0x02, 0x1a}), "1.3.14.3.2.26");
    EXPECT_EQ(oidText({0x88, 0x37}), "2.999");
    EXPECT_EQ(oidText({}), "");
    EXPECT_EQ(oidText({0x2a, 0x86}), "");        // ends inside an arc
    EXPECT_EQ(oidText({0x2a, 0x80, 0x01}), "");  // an arc with a leading zero septet
}
