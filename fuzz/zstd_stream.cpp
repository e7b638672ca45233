// The desktop updater's Zstandard stream against the library's own one-shot decoding of the same
// bytes: it never hands out a byte past the declared size, and it accepts exactly the inputs
// that are one whole frame decoding to that size, with the same bytes.
#include <cstring>
#include <string>

#define ZSTD_STATIC_LINKING_ONLY  // the frame header reader
#include <zstd.h>

#include "fuzz_support.h"
#include "download/zstdstream.h"

namespace {

// The reference: the library's one-shot decoding, which checks the stated content size and the
// checksum against the whole output at once; accepted when the input is exactly one frame whose
// window is within the cap and which decodes to exactly `expected` bytes.
bool referenceDecode(const std::string& frame, const std::string& reference, int maxWindowLog,
                     std::size_t expected, std::string* out) {
    if (ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size()) return false;
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, frame.data(), frame.size()) != 0) return false;
    if (header.frameType == ZSTD_frame && header.windowSize > (1ull << maxWindowLog)) return false;
    ZSTD_DCtx* d = ZSTD_createDCtx();
    if (!reference.empty()) ZSTD_DCtx_refPrefix(d, reference.data(), reference.size());
    out->assign(expected, '\0');
    const std::size_t n = ZSTD_decompressDCtx(d, expected ? &(*out)[0] : nullptr, expected, frame.data(), frame.size());
    ZSTD_freeDCtx(d);
    if (ZSTD_isError(n) || n != expected) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const std::size_t chunk = 1 + (std::size_t(data[0]) << 8 | data[1]);
    const std::size_t expected = (std::size_t(data[2]) << 16 | std::size_t(data[3]) << 8 | data[4]) % (4u << 20);
    const int maxWindowLog = 10 + data[5] % 18;
    const std::size_t referenceSize = std::min<std::size_t>(std::size_t(data[6]) * 16, size - 8);
    const std::string reference(reinterpret_cast<const char*>(data) + 8, referenceSize);
    const std::string frame(reinterpret_cast<const char*>(data) + 8 + referenceSize, size - 8 - referenceSize);

    ZstdStream stream(expected, reference.empty() ? nullptr : reference.data(), reference.size(), maxWindowLog);
    std::string decoded;
    ZstdStream::Status status = ZstdStream::Status::Ok;
    for (std::size_t at = 0; at < frame.size() && status == ZstdStream::Status::Ok; at += chunk)
        status = stream.feed(frame.data() + at, std::min(chunk, frame.size() - at),
                             [&](const char* p, std::size_t n) { decoded.append(p, n); return true; });
    if (status == ZstdStream::Status::Ok) status = stream.finish();
    FUZZ_ASSERT(decoded.size() <= expected);
    FUZZ_ASSERT(stream.decodedBytes() == decoded.size());

    std::string whole;
    const bool referenceAccepts = referenceDecode(frame, reference, maxWindowLog, expected, &whole);
    FUZZ_ASSERT((status == ZstdStream::Status::Ok) == referenceAccepts);
    if (referenceAccepts) FUZZ_ASSERT(decoded == whole);
    return 0;
}
