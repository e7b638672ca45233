#include "download/filefetch.h"

#include "download/downloader.h"
#include "download/filedigest.h"
#include "log/quotedname.h"

#include <QEventLoop>
#include <QFile>
#include <QUrl>

int chooseDelta(const QList<DeltaSource>& deltas, const QString& inPlaceSha256)
{
    if (inPlaceSha256.isEmpty()) return -1;
    for (int i = 0; i < deltas.size(); ++i) {
        if (deltas.at(i).from.compare(inPlaceSha256, Qt::CaseInsensitive) == 0) return i;
    }
    return -1;
}

namespace {

// Runs one download to its end; its failure, or an empty string when it staged the file.
QString runDownload(Downloader& downloader, const FetchProgress& progress, FetchResult* result)
{
    if (!downloader.opened()) result->opened = false;
    QEventLoop loop;
    QObject::connect(&downloader, &Downloader::downloadFinished, &loop, &QEventLoop::quit);
    if (progress) QObject::connect(&downloader, &Downloader::progress, progress);
    loop.exec();
    return downloader.committed() ? QString() : downloader.failure();
}

// The whole file through a part of `parts` (see fetchFile); its failure, or "" when staged.
QString fetchThroughPart(HeldPart part, const QString& url, const QString& sha256, qint64 size, const QString& stagedPath,
                         const FetchProgress& progress, const PartialStore& parts, FetchResult* result)
{
    if (part.bytes == size) {
        // Received whole by a run that ended before it could stage it: checked, not asked for.
        QString why;
        if (fileMatches(part.partPath, sha256, size) && stagePart(part, stagedPath, &why)) {
            result->notes.append(QStringLiteral("%1 was received whole by an earlier run").arg(quotedName(url)));
            return QString();
        }
        dropPart(part);
        part = parts.held(sha256, url, size);
    }
    for (int attempt = 0;; ++attempt) {
        const qint64 held = part.bytes;
        Downloader downloader(QUrl(url, QUrl::TolerantMode), stagedPath, sha256, size, part);
        const QString why = runDownload(downloader, progress, result);
        if (why.isEmpty()) {
            if (downloader.resumed()) {
                result->notes.append(QStringLiteral("%1 continued from byte %2 received by an earlier run").arg(quotedName(url)).arg(held));
            }
            return why;
        }
        if (!downloader.mustStartOver() || attempt > 0) return why;
        result->notes.append(QStringLiteral("%1 starts over from its first byte: %2").arg(quotedName(url), why));
        part = parts.held(sha256, url, size);
    }
}

}  // namespace

FetchResult fetchFile(const FileEntry& entry, const QString& stagedPath, const FetchProgress& progress,
                      const PartialStore* parts)
{
    FetchResult result;
    const QString& name = entry.name;
    const QString& sha256 = entry.sha256;
    const qint64 size = entry.size;
    const QList<DeltaSource>& deltas = entry.deltas;
    if (!deltas.isEmpty()) {
        // The file in place is hashed here (its digest is the one a delta names), read-only.
        const QString& inPlace = entry.dist;
        const int chosen = chooseDelta(deltas, fileSha256Hex(inPlace));
        if (chosen >= 0) {
            const DeltaSource& delta = deltas.at(chosen);
            Downloader downloader(QUrl(delta.url, QUrl::TolerantMode), stagedPath, sha256, size);
            downloader.decodeZstd(inPlace, delta.sha256.isEmpty() ? QString() : delta.sha256, delta.size);
            const QString why = runDownload(downloader, progress, &result);
            if (why.isEmpty()) {
                result.staged = result.byDelta = true;
                return result;
            }
            result.notes.append(QStringLiteral("the delta of %1 from %2 failed (%3): downloading the whole file")
                                    .arg(quotedName(name), quotedName(delta.url), why));
        }
    }
    const QString& url = entry.url;
    const bool compressed = entry.encoding == QLatin1String("zstd");
    // (Nothing is kept where a link stands on the way to the parts' folder.)
    const HeldPart part = parts && !compressed && !sha256.isEmpty() && size >= 0 ? parts->held(sha256, url, size) : HeldPart();
    if (part.usable) {
        result.failure = fetchThroughPart(part, url, sha256, size, stagedPath, progress, *parts, &result);
        result.staged = result.failure.isEmpty();
        return result;
    }
    Downloader downloader(QUrl(url, QUrl::TolerantMode), stagedPath, sha256, size);
    if (compressed) downloader.decodeZstd();
    result.failure = runDownload(downloader, progress, &result);
    result.staged = result.failure.isEmpty();
    return result;
}
