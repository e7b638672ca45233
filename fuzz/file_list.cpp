// The desktop file list against a scratch folder with links in it: no entry the rules accept
// resolves outside the folder, and no removal reaches outside it.
#include <stdlib.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <climits>
#include <cstring>

#include "list/filelist.h"
#include "list/updaterfolders.h"
#include "fuzz_support.h"

namespace {

// The scratch folder: a fresh directory under /tmp made once per process. Its name is kept in a
// plain array (no destructor runs before the clean-up at exit), and nothing is ever removed
// unless the path still starts with the prefix it was made with.
const char kScratchPrefix[] = "/tmp/vextra-fuzz-filelist-";
char scratchRoot[PATH_MAX];

bool scratchPathIsOurs(const QString& path) {
    const QString root = QString::fromLocal8Bit(scratchRoot);
    return root.startsWith(QLatin1String(kScratchPrefix)) &&
           root.size() > static_cast<int>(sizeof(kScratchPrefix)) &&
           (path == root || path.startsWith(root + QLatin1Char('/')));
}

void removeScratch(const QString& path) {
    FUZZ_ASSERT(scratchPathIsOurs(path));
    QDir(path).removeRecursively();
}

void removeScratchAtExit() {
    if (scratchPathIsOurs(QString::fromLocal8Bit(scratchRoot)))
        QDir(QString::fromLocal8Bit(scratchRoot)).removeRecursively();
}

// root/base (the updater's folder) and root/outside beside it.
struct Scratch {
    QString root, base, outside, canonicalBase;
};

Scratch makeScratch() {
    std::snprintf(scratchRoot, sizeof scratchRoot, "%sXXXXXX", kScratchPrefix);
    FUZZ_ASSERT(mkdtemp(scratchRoot) != nullptr);
    std::atexit(removeScratchAtExit);
    Scratch s;
    s.root = QString::fromLocal8Bit(scratchRoot);
    s.base = s.root + QStringLiteral("/base");
    s.outside = s.root + QStringLiteral("/outside");
    return s;
}

// The folder as each run starts: a file, a folder, links out of it (to a folder, to a file,
// dangling) and a link that stays inside. Outside: the files no entry may touch.
void layOut(Scratch& s) {
    removeScratch(s.base);
    removeScratch(s.outside);
    QFile::remove(s.root + QStringLiteral("/missing"));
    QDir().mkpath(s.base + QStringLiteral("/Application/sub"));
    QDir().mkpath(s.outside + QStringLiteral("/deeper"));
    for (const QString& path : {s.base + QStringLiteral("/Application/app.exe"),
                                s.outside + QStringLiteral("/keep.txt"),
                                s.outside + QStringLiteral("/deeper/keep.txt")}) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("x");
    }
    QFile::link(s.outside, s.base + QStringLiteral("/out"));
    QFile::link(s.outside + QStringLiteral("/keep.txt"), s.base + QStringLiteral("/Application/keep-link"));
    QFile::link(s.root + QStringLiteral("/missing"), s.base + QStringLiteral("/dangling"));
    QFile::link(s.base + QStringLiteral("/Application"), s.base + QStringLiteral("/inner"));
    s.canonicalBase = QFileInfo(s.base).canonicalFilePath();
}

// Whether the real location of path (its deepest existing ancestor, links followed by the
// system) is the base folder or below it.
bool resolvesInside(const QString& canonicalBase, const QString& path, int hops = 0) {
    QString probe = QDir::cleanPath(path);
    while (!probe.isEmpty() && probe != QLatin1String("/") && !QFileInfo::exists(probe) &&
           !QFileInfo(probe).isSymLink())
        probe = QFileInfo(probe).path();
    char real[PATH_MAX];
    const QByteArray native = QFile::encodeName(probe);
    if (!realpath(native.constData(), real)) {
        // A dangling link: where it points is what a write would create.
        const QString target = QFileInfo(probe).symLinkTarget();
        return hops < 8 && !target.isEmpty() && resolvesInside(canonicalBase, target, hops + 1);
    }
    const QString resolved = QFile::decodeName(real);
    return resolved == canonicalBase || resolved.startsWith(canonicalBase + QLatin1Char('/'));
}

int entriesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch s = makeScratch();
    // Laid out again only after a run that may have changed it (downloads make folders).
    static bool dirty = true;
    if (dirty) layOut(s);
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const FileListResult result = readFileList(body, s.base, QStringLiteral("desktop-updater"));
    dirty = !result.downloads.isEmpty() || body.contains("remove");
    for (const FileEntry& entry : result.downloads)
        FUZZ_ASSERT(resolvesInside(s.canonicalBase, entry.dist));
    for (const QString& folder : result.folders)
        FUZZ_ASSERT(resolvesInside(s.canonicalBase, folder));
    const QString config = s.base + QLatin1Char('/') + QLatin1String(kConfigFolder);
    const QString updates = s.base + QLatin1Char('/') + QLatin1String(kUpdatesFolder);
    // Nothing is placed in the updater's own folders but its new copy, nor onto the updater or
    // its log.
    auto inside = [](const QString& path, const QString& folder) {
        return path == folder || path.startsWith(folder + QLatin1Char('/'));
    };
    QStringList placed = result.folders;
    for (const FileEntry& entry : result.downloads) placed.append(QDir::cleanPath(entry.dist));
    for (const QString& path : placed) {
        if (path == updates + QStringLiteral("/desktop-updater")) continue;
        FUZZ_ASSERT(!inside(path, config) && !inside(path, updates) && !inside(config, path));
        FUZZ_ASSERT(path != s.base + QStringLiteral("/desktop-updater") && path != s.base + QStringLiteral("/desktop-updater.log"));
    }
    // A removal takes a link itself, never what it points to: what must lie inside is the folder
    // that holds the removed name. The folder itself and the updater's own folders are never taken.
    for (const QString& removal : result.removals) {
        const QString clean = QDir::cleanPath(removal);
        FUZZ_ASSERT(resolvesInside(s.canonicalBase, QFileInfo(clean).path()));
        for (const QString& kept : {QDir::cleanPath(s.base), config, updates})
            FUZZ_ASSERT(kept != clean && !kept.startsWith(clean + QLatin1Char('/')));
    }
    // Nothing outside was removed or added, nor created through the dangling link.
    FUZZ_ASSERT(QFileInfo::exists(s.outside + QStringLiteral("/keep.txt")));
    FUZZ_ASSERT(QFileInfo::exists(s.outside + QStringLiteral("/deeper/keep.txt")));
    FUZZ_ASSERT(entriesIn(s.outside) == 2 && entriesIn(s.outside + QStringLiteral("/deeper")) == 1);
    FUZZ_ASSERT(!QFileInfo::exists(s.root + QStringLiteral("/missing")));
    FUZZ_ASSERT(entriesIn(s.root) == 2);
    return 0;
}
