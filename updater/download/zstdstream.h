// Decoding of one Zstandard frame as its bytes arrive from the network: a compressed file of the
// list (encoding="zstd"), or a delta made against an older file that the decoder is given as its
// reference. Memory stays bounded: a frame that asks for a window above the cap is refused before
// anything is decoded, and the decoded bytes may never pass the size the list declares, so a
// small frame that expands without end (a decompression bomb) stops at the first byte too many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The largest window a frame may ask for: 2^27 bytes (128 MiB), which covers a delta of any file
// of the application. A delta's window spans its reference, so a larger file is downloaded whole.
const int kMaxZstdWindowLog = 27;

// The most bytes a frame of `contentSize` decoded bytes needs: the cap on a compressed download
// whose own size the list does not give.
std::uint64_t zstdFrameBound(std::uint64_t contentSize);

class ZstdStream
{
public:
    enum class Status {
        Ok,              // more input wanted (or the frame is complete and finish() will say so)
        WindowTooLarge,  // the frame asks for a window above the cap
        OverSize,        // the decoded bytes pass the declared size
        Corrupt,         // not a valid frame, a reference that does not fit, or bytes after the frame
        Truncated,       // finish(): the frame ended early, or decoded fewer bytes than declared
        SinkFailed,      // the sink refused decoded bytes (a failed write)
    };

    // `expectedSize`: the exact number of decoded bytes (the entry's size). `reference` (may be
    // null), `referenceSize`: the older file a delta was made from; it must stay valid and
    // unchanged until the stream is done. `maxWindowLog` caps the frame's window.
    ZstdStream(std::uint64_t expectedSize, const void* reference = nullptr, std::size_t referenceSize = 0,
               int maxWindowLog = kMaxZstdWindowLog);
    ~ZstdStream();
    ZstdStream(const ZstdStream&) = delete;
    ZstdStream& operator=(const ZstdStream&) = delete;

    using Sink = std::function<bool(const char* data, std::size_t size)>;
    // Decodes `size` bytes of the frame, handing every decoded byte to `sink` in order. After a
    // status other than Ok the stream is dead and every later call returns that status.
    Status feed(const char* data, std::size_t size, const Sink& sink);
    // After the last input byte: Ok only when one whole frame decoded to exactly expectedSize.
    Status finish();

    std::uint64_t decodedBytes() const { return m_decoded; }
    // The library's words for a Corrupt status (empty otherwise).
    const std::string& detail() const { return m_detail; }

    static const char* describe(Status status);

private:
    Status fail(Status status, std::string detail = std::string());
    Status checkHeader(const char* data, std::size_t size);

    void* m_context;  // ZSTD_DCtx
    std::uint64_t m_expected;
    std::uint64_t m_decoded = 0;
    bool m_frameDone = false;
    bool m_headerRead = false;
    std::string m_header;  // the frame's first bytes, until its header can be read
    int m_maxWindowLog;
    Status m_status = Status::Ok;
    std::string m_detail;
    char* m_out;
};
