#include "download/zstdstream.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

namespace {
ZSTD_DCtx* context(void* p) { return static_cast<ZSTD_DCtx*>(p); }
}

std::uint64_t zstdFrameBound(std::uint64_t contentSize)
{
    // ZSTD_compressBound, in 64 bits: a raw block costs 3 bytes per 128 KiB, the frame at most 18.
    return contentSize + contentSize / 65536 * 3 + 3 + 18 + 4;
}

ZstdStream::ZstdStream(std::uint64_t expectedSize, const void* reference, std::size_t referenceSize,
                       int maxWindowLog)
    : m_context(ZSTD_createDCtx()), m_expected(expectedSize), m_maxWindowLog(maxWindowLog),
      m_out(new char[ZSTD_DStreamOutSize()])
{
    if (!m_context) {
        fail(Status::Corrupt, "no memory for a decoder");
        return;
    }
    // The library refuses a frame whose window passes this before it allocates the window.
    std::size_t rc = ZSTD_DCtx_setParameter(context(m_context), ZSTD_d_windowLogMax, maxWindowLog);
    if (!ZSTD_isError(rc) && reference && referenceSize > 0)
        rc = ZSTD_DCtx_refPrefix(context(m_context), reference, referenceSize);
    if (ZSTD_isError(rc)) fail(Status::Corrupt, ZSTD_getErrorName(rc));
}

ZstdStream::~ZstdStream()
{
    ZSTD_freeDCtx(context(m_context));
    delete[] m_out;
}

ZstdStream::Status ZstdStream::fail(Status status, std::string detail)
{
    if (m_status == Status::Ok) {
        m_status = status;
        m_detail = std::move(detail);
    }
    return m_status;
}

// A header that states the decoded size must state the list's: a frame that promises more is a
// bomb refused before its first block, and one that promises less cannot be the file.
ZstdStream::Status ZstdStream::checkHeader(const char* data, std::size_t size)
{
    m_header.append(data, std::min(size, std::size_t(ZSTD_FRAMEHEADERSIZE_MAX) - m_header.size()));
    ZSTD_frameHeader header;
    const std::size_t rc = ZSTD_getFrameHeader(&header, m_header.data(), m_header.size());
    if (ZSTD_isError(rc)) return fail(Status::Corrupt, ZSTD_getErrorName(rc));
    if (rc > 0) return Status::Ok;  // more bytes needed
    m_headerRead = true;
    // The library checks the window too, but skips the check when a small frame fits the output
    // buffer whole; the cap is asked here so that it holds the same for every frame.
    if (header.frameType == ZSTD_frame && header.windowSize > (1ull << m_maxWindowLog))
        return fail(Status::WindowTooLarge, "the frame asks for a window above the cap");
    if (header.frameType == ZSTD_frame && header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN
        && header.frameContentSize != m_expected)
        return fail(header.frameContentSize > m_expected ? Status::OverSize : Status::Truncated,
                    "the frame states another size than the list");
    return Status::Ok;
}

ZstdStream::Status ZstdStream::feed(const char* data, std::size_t size, const Sink& sink)
{
    if (m_status != Status::Ok) return m_status;
    if (size == 0) return Status::Ok;
    // One frame is the whole file: a byte after it is not ours to ignore.
    if (m_frameDone) return fail(Status::Corrupt, "bytes after the end of the frame");
    if (!m_headerRead && checkHeader(data, size) != Status::Ok) return m_status;

    ZSTD_inBuffer in = {data, size, 0};
    const std::size_t outSize = ZSTD_DStreamOutSize();
    for (;;) {
        ZSTD_outBuffer out = {m_out, outSize, 0};
        const std::size_t rc = ZSTD_decompressStream(context(m_context), &out, &in);
        if (ZSTD_isError(rc)) {
            if (ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge)
                return fail(Status::WindowTooLarge, ZSTD_getErrorName(rc));
            return fail(Status::Corrupt, ZSTD_getErrorName(rc));
        }
        if (out.pos > 0) {
            if (out.pos > m_expected - m_decoded) return fail(Status::OverSize);
            if (!sink(m_out, out.pos)) return fail(Status::SinkFailed);
            m_decoded += out.pos;
        }
        if (rc == 0) {
            m_frameDone = true;
            if (in.pos < in.size) return fail(Status::Corrupt, "bytes after the end of the frame");
            return Status::Ok;
        }
        // A full output buffer may hold back more decoded bytes even when the input is used up.
        if (in.pos == in.size && out.pos < outSize) return Status::Ok;
    }
}

ZstdStream::Status ZstdStream::finish()
{
    if (m_status != Status::Ok) return m_status;
    if (!m_frameDone) return fail(Status::Truncated, "the frame ends early");
    if (m_decoded != m_expected) return fail(Status::Truncated, "fewer bytes than the list declares");
    return Status::Ok;
}

const char* ZstdStream::describe(Status status)
{
    switch (status) {
    case Status::Ok: return "decoded";
    case Status::WindowTooLarge: return "the frame asks for a window above the cap";
    case Status::OverSize: return "decodes to more bytes than the list declares";
    case Status::Corrupt: return "not a valid frame";
    case Status::Truncated: return "the frame is incomplete";
    case Status::SinkFailed: return "the decoded bytes cannot be written";
    }
    return "unknown";
}
