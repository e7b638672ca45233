#include "crashstates.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

const quint64 kFirstNewId = quint64(1) << 62;

struct NameChange {
    int index = 0;  // in the trace
    FsEvent::Kind kind = FsEvent::Create;
    QString a, b;   // relative paths (b: a rename's target)
    quint64 id = 0; // the object a create, mkdir, symlink or link names, or a rename moves
    QList<quint64> folders;  // the folders whose entries it changes
    bool replaces = false;   // a rename over an existing file
};

struct DataChange {
    int index = 0;
    bool trunc = false;
    qint64 offset = 0;
    QByteArray bytes;
};

struct Flush {
    int index = 0;
    quint64 id = 0;  // 0: sync, everything
};

// The trace read as changes of names, of bytes and flushes, with objects by a model id (the
// inode number for what was there before, a fresh id for what the start made: numbers of
// deleted files come back).
struct Model {
    QMap<QString, quint64> before;  // relative path -> id, "" the folder itself
    QMap<quint64, DiskObject> objects;
    QList<NameChange> names;
    QMap<quint64, QList<DataChange>> data;
    QList<Flush> flushes;
};

QString parentOf(const QString& rel)
{
    const int slash = rel.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString(QLatin1String("")) : rel.left(slash);
}

bool below(const QString& path, const QString& folder)
{
    return path.startsWith(folder + QLatin1Char('/'));
}

// Moves `from` and everything below it to `to` in a name map.
void moveNames(QMap<QString, quint64>* names, const QString& from, const QString& to)
{
    QMap<QString, quint64> moved;
    for (auto it = names->begin(); it != names->end();) {
        if (it.key() == from || below(it.key(), from)) {
            moved.insert(to + it.key().mid(from.size()), it.value());
            it = names->erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = moved.cbegin(); it != moved.cend(); ++it) names->insert(it.key(), it.value());
}

void removeNames(QMap<QString, quint64>* names, const QString& path)
{
    for (auto it = names->begin(); it != names->end();) {
        if (it.key() == path || below(it.key(), path)) it = names->erase(it);
        else ++it;
    }
}

Model readModel(const QString& base, const DiskImage& before, const QList<FsEvent>& trace)
{
    Model m;
    struct stat st;
    const quint64 baseIno = lstat(QFile::encodeName(base).constData(), &st) == 0 ? quint64(st.st_ino) : 1;
    m.before.insert(QString(QLatin1String("")), baseIno);
    m.objects.insert(baseIno, DiskObject{DiskObject::Folder, QByteArray(), baseIno});
    QMap<quint64, quint64> idOfIno;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        m.before.insert(it.key(), it->ino);
        m.objects.insert(it->ino, *it);
        idOfIno.insert(it->ino, it->ino);
    }
    idOfIno.insert(baseIno, baseIno);
    quint64 next = kFirstNewId;
    QMap<QString, quint64> now = m.before;
    auto rel = [&](const QString& abs) -> QString {
        if (abs == base) return QString(QLatin1String(""));
        return abs.startsWith(base + QLatin1Char('/')) ? abs.mid(base.size() + 1) : QString();
    };
    auto fresh = [&](quint64 ino, DiskObject::Kind kind, const QByteArray& bytes) {
        const quint64 id = next++;
        m.objects.insert(id, DiskObject{kind, bytes, id});
        if (ino) idOfIno.insert(ino, id);
        return id;
    };
    for (int i = 0; i < trace.size(); ++i) {
        const FsEvent& e = trace.at(i);
        NameChange c;
        c.index = i;
        c.kind = e.kind;
        c.a = rel(e.path);
        switch (e.kind) {
        case FsEvent::TmpFile: fresh(e.ino, DiskObject::File, QByteArray()); continue;
        case FsEvent::Create: c.id = fresh(e.ino, DiskObject::File, QByteArray()); break;
        case FsEvent::Mkdir: c.id = fresh(e.ino, DiskObject::Folder, QByteArray()); break;
        case FsEvent::Symlink: c.id = fresh(0, DiskObject::Link, e.bytes); break;
        case FsEvent::Link: c.id = idOfIno.value(e.ino, 0); break;
        case FsEvent::Rename: c.b = rel(e.path2); break;
        case FsEvent::Unlink:
        case FsEvent::Rmdir: break;
        case FsEvent::Trunc:
        case FsEvent::Write:
            m.data[idOfIno.value(e.ino, e.ino)].append(DataChange{i, e.kind == FsEvent::Trunc, e.offset, e.bytes});
            continue;
        case FsEvent::Fsync: m.flushes.append(Flush{i, idOfIno.value(e.ino, e.ino)}); continue;
        case FsEvent::Sync: m.flushes.append(Flush{i, 0}); continue;
        }
        // Changes of names outside the folder (or across its border) are not the folder's.
        if (c.a.isNull() || (e.kind == FsEvent::Rename && c.b.isNull()) || (e.kind == FsEvent::Link && !c.id)) continue;
        c.folders.append(now.value(parentOf(c.a)));
        if (e.kind == FsEvent::Rename) {
            c.folders.append(now.value(parentOf(c.b)));
            c.replaces = now.contains(c.b) && m.objects.value(now.value(c.b)).kind == DiskObject::File;
            c.id = now.value(c.a);  // the object renamed
            removeNames(&now, c.b);
            moveNames(&now, c.a, c.b);
        } else if (e.kind == FsEvent::Unlink || e.kind == FsEvent::Rmdir) {
            removeNames(&now, c.a);
        } else {
            now.insert(c.a, c.id);
        }
        m.names.append(c);
    }
    return m;
}

// A change of names writes folder entries: the n-th change of Model::names writes its new
// entry as half 2n and, for a rename, clears the old one as half 2n + 1 (in another folder,
// flushed with that folder: a rename whose first half alone is on disk left both names, one
// whose second half alone is, lost the file).
int addHalf(int n) { return 2 * n; }
int dropHalf(int n) { return 2 * n + 1; }

// What a cut keeps: which halves of the changes of names, and how many of each object's
// unflushed changes of bytes (the last one cut to `cutTo` bytes when `cutTo` >= 0).
struct Kept {
    QSet<int> names;
    struct Bytes {
        int changes = 0;
        qint64 cutTo = -1;
    };
    QMap<quint64, Bytes> bytes;
};

// The first change of bytes of `id` not yet on disk at `point`.
int firstUnflushed(const Model& m, quint64 id, int point, const Kept& kept, FsModel model)
{
    int flushedBefore = 0;  // trace index: changes before it are on disk
    for (const Flush& f : m.flushes) {
        if (f.index < point && (f.id == id || f.id == 0)) flushedBefore = std::max(flushedBefore, f.index);
    }
    if (model == FsModel::Ext4Ordered) {
        for (int h : kept.names) {
            if (h % 2) continue;
            const NameChange& c = m.names.at(h / 2);
            if (c.kind == FsEvent::Rename && c.replaces && c.id == id && c.index < point) {
                flushedBefore = std::max(flushedBefore, c.index);
            }
        }
    }
    const QList<DataChange> changes = m.data.value(id);
    int first = 0;
    while (first < changes.size() && changes.at(first).index < flushedBefore) ++first;
    return first;
}

// Whether a half of the change of names `c` is on disk at `point` whatever the cut: on ext4
// after any flush; on FAT once the folder of its entry was flushed after it (a new file's entry
// also by the file's own flush).
bool nameChangeFlushed(const Model& m, const NameChange& c, bool drop, int point, FsModel model)
{
    const quint64 folder = c.kind == FsEvent::Rename && !drop ? c.folders.value(1) : c.folders.value(0);
    for (const Flush& f : m.flushes) {
        if (f.index <= c.index || f.index >= point) continue;
        if (f.id == 0 || model == FsModel::Ext4Ordered || f.id == folder) return true;
        if (c.kind == FsEvent::Create && f.id == c.id) return true;
    }
    return false;
}

QByteArray bytesOf(const Model& m, quint64 id, int point, const Kept& kept, FsModel model, bool* unflushedLost)
{
    QByteArray b = m.objects.value(id).bytes;
    const QList<DataChange> changes = m.data.value(id);
    const int first = firstUnflushed(m, id, point, kept, model);
    int upTo = first;
    while (upTo < changes.size() && changes.at(upTo).index < point) ++upTo;
    const Kept::Bytes k = kept.bytes.value(id);
    const int last = std::min(upTo, first + k.changes);
    if (last < upTo) *unflushedLost = true;
    for (int i = 0; i < last; ++i) {
        const DataChange& d = changes.at(i);
        QByteArray bytes = d.bytes;
        if (i == last - 1 && i >= first && k.cutTo >= 0 && k.cutTo < bytes.size()) {
            bytes.truncate(int(k.cutTo));
            *unflushedLost = true;
        }
        if (d.trunc) {
            b.resize(int(d.offset));
            continue;
        }
        if (b.size() < d.offset + bytes.size()) {
            const int old = b.size();
            b.resize(int(std::max<qint64>(b.size(), d.offset + bytes.size())));
            if (old < d.offset) std::fill(b.begin() + old, b.begin() + int(d.offset), '\0');
        }
        std::copy(bytes.cbegin(), bytes.cend(), b.begin() + int(d.offset));
    }
    return b;
}

// The folder after a cut at `point` that kept `kept`.
DiskImage imageAfter(const Model& m, int point, const Kept& kept, FsModel model, bool* bytesLost)
{
    QMap<QString, quint64> names = m.before;
    QMap<quint64, quint64> copyOf;  // both names of a half-done rename: a copy with its bytes
    quint64 nextCopy = quint64(1) << 63;
    auto isFolder = [&](const QString& p) { return names.contains(p) && m.objects.value(names.value(p)).kind == DiskObject::Folder; };
    for (int n = 0; n < m.names.size(); ++n) {
        const NameChange& c = m.names.at(n);
        if (c.index >= point || (!kept.names.contains(addHalf(n)) && !kept.names.contains(dropHalf(n)))) continue;
        const bool add = kept.names.contains(addHalf(n));
        const bool parentThere = isFolder(parentOf(c.kind == FsEvent::Rename ? c.b : c.a));
        switch (c.kind) {
        case FsEvent::Create:
        case FsEvent::Mkdir:
        case FsEvent::Symlink:
        case FsEvent::Link:
            if (add && parentThere && !names.contains(c.a)) names.insert(c.a, c.id);
            break;
        case FsEvent::Rename: {
            const bool drop = kept.names.contains(dropHalf(n));
            const bool sourceThere = names.contains(c.a) && names.value(c.a) == c.id;
            bool busyFolder = false;
            for (auto it = names.cbegin(); it != names.cend(); ++it) busyFolder = busyFolder || below(it.key(), c.b);
            if (add && parentThere && c.a != c.b && !below(c.b, c.a) && !busyFolder) {
                removeNames(&names, c.b);
                if (sourceThere && drop) {
                    moveNames(&names, c.a, c.b);
                    break;
                }
                if (!sourceThere) {
                    names.insert(c.b, c.id);  // the new entry names the object, whatever the old one's fate
                } else {
                    // Both names, each with the object's bytes.
                    QMap<QString, quint64> copies;
                    for (auto it = names.cbegin(); it != names.cend(); ++it) {
                        if (it.key() != c.a && !below(it.key(), c.a)) continue;
                        copyOf.insert(nextCopy, it.value());
                        copies.insert(c.b + it.key().mid(c.a.size()), nextCopy++);
                    }
                    for (auto it = copies.cbegin(); it != copies.cend(); ++it) names.insert(it.key(), it.value());
                }
            }
            if (drop && sourceThere) removeNames(&names, c.a);
            break;
        }
        case FsEvent::Unlink:
            if (add && names.contains(c.a) && !isFolder(c.a)) names.remove(c.a);
            break;
        case FsEvent::Rmdir: {
            bool empty = true;
            for (auto it = names.cbegin(); it != names.cend(); ++it) empty = empty && !below(it.key(), c.a);
            if (add && isFolder(c.a) && empty) names.remove(c.a);
            break;
        }
        default: break;
        }
    }
    DiskImage image;
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        if (it.key().isEmpty()) continue;
        const quint64 id = copyOf.value(it.value(), it.value());
        DiskObject o = m.objects.value(id);
        if (o.kind == DiskObject::File) o.bytes = bytesOf(m, id, point, kept, model, bytesLost);
        o.ino = it.value();
        image.insert(it.key(), o);
    }
    return image;
}

QByteArray fingerprint(const DiskImage& image)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    QMap<quint64, int> groups;
    for (auto it = image.cbegin(); it != image.cend(); ++it) {
        const int group = groups.contains(it->ino) ? groups.value(it->ino) : groups.size();
        groups.insert(it->ino, group);
        h.addData(it.key().toUtf8() + '\0' + QByteArray::number(int(it->kind)) + '\0' + QByteArray::number(group) + '\0' +
                  QByteArray::number(it->bytes.size()) + '\0' + it->bytes);
    }
    return h.result();
}

// The halves of the changes of names made before `point` that are not surely on disk, in order.
QList<int> openNameChanges(const Model& m, int point, FsModel model)
{
    QList<int> open;
    for (int n = 0; n < m.names.size(); ++n) {
        const NameChange& c = m.names.at(n);
        if (c.index >= point) continue;
        if (!nameChangeFlushed(m, c, false, point, model)) open.append(addHalf(n));
        if (c.kind == FsEvent::Rename && !nameChangeFlushed(m, c, true, point, model)) open.append(dropHalf(n));
    }
    return open;
}

// One way a cut at `point` can go: `variant` 0 keeps every change of names and loses every
// unflushed byte, 1 loses both, 2 and above draw what is kept.
Kept drawKept(const Model& m, int point, FsModel model, int variant, std::mt19937* rng, QString* how)
{
    Kept k;
    const QList<int> open = openNameChanges(m, point, model);
    for (int n = 0; n < m.names.size(); ++n) {
        if (m.names.at(n).index >= point) continue;
        if (!open.contains(addHalf(n))) k.names.insert(addHalf(n));
        if (!open.contains(dropHalf(n))) k.names.insert(dropHalf(n));
    }
    auto coin = [&]() { return (*rng)() % 2 == 0; };
    int keptOpen = 0;
    if (variant == 0) {
        for (int h : open) k.names.insert(h);
        keptOpen = open.size();
    } else if (variant >= 2 && model == FsModel::Ext4Ordered) {
        // A prefix in journal order; a rename's two halves are one journal entry.
        keptOpen = open.isEmpty() ? 0 : int((*rng)() % (open.size() + 1));
        for (int i = 0; i < keptOpen; ++i) {
            k.names.insert(open.at(i));
            k.names.insert(open.at(i) ^ 1);
        }
    } else if (variant >= 2) {
        for (int h : open) {
            if (!coin()) continue;
            k.names.insert(h);
            ++keptOpen;
        }
    }
    int partial = 0;
    if (variant >= 2) {
        for (auto it = m.data.cbegin(); it != m.data.cend(); ++it) {
            const int first = firstUnflushed(m, it.key(), point, k, model);
            int pending = 0;
            for (int i = first; i < it->size() && it->at(i).index < point; ++i) ++pending;
            if (pending == 0) continue;
            Kept::Bytes b;
            b.changes = int((*rng)() % (pending + 1));
            if (b.changes > 0 && coin()) b.cutTo = qint64((*rng)() % (it->at(first + b.changes - 1).bytes.size() + 1));
            k.bytes.insert(it.key(), b);
            ++partial;
        }
    }
    *how = QStringLiteral("%1 of %2 unflushed folder entries kept, %3")
               .arg(keptOpen)
               .arg(open.size())
               .arg(variant >= 2 ? QStringLiteral("unflushed bytes of %1 files kept in part").arg(partial)
                                 : QStringLiteral("every unflushed byte lost"));
    return k;
}

}  // namespace

DiskImage readDiskImage(const QString& base)
{
    DiskImage image;
    QList<QString> folders{QString()};
    while (!folders.isEmpty()) {
        const QString rel = folders.takeFirst();
        const QString abs = rel.isEmpty() ? base : base + QLatin1Char('/') + rel;
        const QStringList entries = QDir(abs).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
        for (const QString& name : entries) {
            const QString r = rel.isEmpty() ? name : rel + QLatin1Char('/') + name;
            const QByteArray path = QFile::encodeName(base + QLatin1Char('/') + r);
            struct stat st;
            if (lstat(path.constData(), &st) != 0) continue;
            DiskObject o;
            o.ino = quint64(st.st_ino);
            if (S_ISDIR(st.st_mode)) {
                o.kind = DiskObject::Folder;
                folders.append(r);
            } else if (S_ISLNK(st.st_mode)) {
                o.kind = DiskObject::Link;
                QByteArray target(4096, '\0');
                const ssize_t n = readlink(path.constData(), target.data(), size_t(target.size()));
                target.resize(n > 0 ? int(n) : 0);
                o.bytes = target;
            } else if (S_ISREG(st.st_mode)) {
                QFile f(QFile::decodeName(path));
                if (f.open(QIODevice::ReadOnly)) o.bytes = f.readAll();
            } else {
                continue;  // a FIFO or socket is no state a power cut makes
            }
            image.insert(r, o);
        }
    }
    return image;
}

bool writeDiskImage(const QString& base, const DiskImage& image)
{
    QDir(base).removeRecursively();
    if (!QDir().mkpath(base)) return false;
    QMap<quint64, QString> firstName;
    bool ok = true;
    for (auto it = image.cbegin(); it != image.cend(); ++it) {
        const QString path = base + QLatin1Char('/') + it.key();
        const QByteArray p = QFile::encodeName(path);
        switch (it->kind) {
        case DiskObject::Folder: ok = QDir().mkdir(path) && ok; break;
        case DiskObject::Link: ok = ::symlink(it->bytes.constData(), p.constData()) == 0 && ok; break;
        case DiskObject::File:
            if (firstName.contains(it->ino)) {
                ok = ::link(QFile::encodeName(firstName.value(it->ino)).constData(), p.constData()) == 0 && ok;
            } else {
                QFile f(path);
                ok = f.open(QIODevice::WriteOnly) && f.write(it->bytes) == it->bytes.size() && ok;
                firstName.insert(it->ino, path);
            }
            break;
        }
    }
    return ok;
}

QList<CrashState> crashStates(const QString& base, const DiskImage& before, const QList<FsEvent>& trace,
                              FsModel model, int limit, quint32 seed)
{
    const Model m = readModel(base, before, trace);
    std::mt19937 rng(seed);
    // The points worth a cut: after each change of names and each flush, and at the end.
    QList<int> points;
    QSet<int> nameIndexes;
    for (const NameChange& c : m.names) nameIndexes.insert(c.index);
    for (int i = 0; i < trace.size(); ++i) {
        if (nameIndexes.contains(i) || trace.at(i).kind == FsEvent::Fsync || trace.at(i).kind == FsEvent::Sync) points.append(i + 1);
    }
    if (points.isEmpty() || points.last() != trace.size()) points.append(trace.size());
    QList<CrashState> all;
    QSet<QByteArray> seen{fingerprint(before)};
    // The end first: the state every later cut meets.
    std::reverse(points.begin(), points.end());
    for (int point : points) {
        for (int variant = 0; variant < 4; ++variant) {
            CrashState s;
            s.point = point;
            const Kept k = drawKept(m, point, model, variant, &rng, &s.how);
            bool lost = false;
            s.image = imageAfter(m, point, k, model, &lost);
            const QByteArray f = fingerprint(s.image);
            if (seen.contains(f)) continue;
            seen.insert(f);
            s.how = QStringLiteral("cut after call %1 of %2 (%3): %4").arg(point).arg(trace.size())
                        .arg(point > 0 ? describe(trace.at(point - 1)) : QStringLiteral("none"), s.how);
            all.append(s);
        }
    }
    if (limit <= 0 || all.size() <= limit) return all;
    QList<CrashState> some;
    for (int i = 0; i < limit; ++i) some.append(all.at(int(qint64(i) * all.size() / limit)));
    return some;
}

}  // namespace sim
