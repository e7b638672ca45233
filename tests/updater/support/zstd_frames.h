// Zstandard frames made in the tests with the library's compressor: plain, with a stated or an
// unstated size, with a window of their own, or as a delta of an older file.
#pragma once

#include <QRandomGenerator>
#include <QtGlobal>

#include <zstd.h>

#include <string>

namespace testzstd {

// `size` bytes that compress a little, as program files do.
inline std::string someFile(std::size_t size, quint32 seed)
{
    QRandomGenerator random(seed);
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = (i % 64 < 40) ? char('a' + (i / 64) % 26) : char(random.bounded(256));
    return s;
}

struct FrameOptions {
    int windowLog = 0;          // 0: the library's choice
    bool contentSize = true;    // the header states the decoded size
    bool checksum = true;       // the frame ends with a checksum of the decoded bytes
    const std::string* reference = nullptr;
};

inline std::string compress(const std::string& data, const FrameOptions& options = {})
{
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, options.contentSize ? 1 : 0);
    if (options.windowLog) ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, options.windowLog);
    if (options.reference) {
        ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_refPrefix(c, options.reference->data(), options.reference->size());
    }
    std::string out(ZSTD_compressBound(data.size()) + 1024, '\0');
    std::size_t n = 0;
    if (options.contentSize) {
        n = ZSTD_compress2(c, &out[0], out.size(), data.data(), data.size());
    } else {
        // Streamed, as a pipe would be: the compressor does not know the size and keeps the
        // window it was given (it shrinks the window to a size it knows).
        ZSTD_outBuffer o = {&out[0], out.size(), 0};
        ZSTD_inBuffer in = {data.data(), data.size(), 0};
        n = ZSTD_compressStream2(c, &o, &in, ZSTD_e_continue);
        ZSTD_inBuffer none = {nullptr, 0, 0};
        while (!ZSTD_isError(n) && (n = ZSTD_compressStream2(c, &o, &none, ZSTD_e_end)) > 0 && !ZSTD_isError(n)) {}
        if (!ZSTD_isError(n)) n = o.pos;
    }
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(n)) qFatal("compress: %s", ZSTD_getErrorName(n));
    out.resize(n);
    return out;
}

}  // namespace testzstd
