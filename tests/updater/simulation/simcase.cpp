#include "simcase.h"

#include <QTextStream>

namespace sim {

namespace {

const struct { Damage damage; const char* name; } kDamageNames[] = {
    {Damage::None, "none"},
    {Damage::LoseStaged, "lose-staged"},
    {Damage::LoseBackup, "lose-backup"},
    {Damage::TruncateJournal, "truncate-journal"},
    {Damage::EmptyJournal, "empty-journal"},
    {Damage::JournalFolder, "journal-folder"},
    {Damage::JournalLink, "journal-link"},
    {Damage::StagingLink, "staging-link"},
    {Damage::BackupLink, "backup-link"},
    {Damage::PartGarbage, "part-garbage"},
    {Damage::PartLink, "part-link"},
};

const struct { Ranges ranges; const char* name; } kRangesNames[] = {
    {Ranges::Honour, "honour"},
    {Ranges::Ignore, "ignore"},
    {Ranges::Refuse, "refuse"},
    {Ranges::FromStart, "from-start"},
};

const struct { HostilePlace place; const char* name; } kPlaceNames[] = {
    {HostilePlace::None, "none"},          {HostilePlace::Part, "part"},
    {HostilePlace::PartInfo, "part-info"}, {HostilePlace::Journal, "journal"},
    {HostilePlace::Steps, "steps"},        {HostilePlace::AppliedVersion, "applied-version"},
    {HostilePlace::Log, "log"},            {HostilePlace::Lock, "lock"},
    {HostilePlace::Staging, "staging"},    {HostilePlace::Backup, "backup"},
    {HostilePlace::InPlace, "in-place"},
};

const struct { HostileObject object; const char* name; } kObjectNames[] = {
    {HostileObject::Fifo, "fifo"},
    {HostileObject::Socket, "socket"},
    {HostileObject::Folder, "folder"},
    {HostileObject::HardLink, "hard-link"},
    {HostileObject::SymLink, "symlink"},
    {HostileObject::Unreadable, "unreadable"},
    {HostileObject::Changing, "changing"},
    {HostileObject::LockedByProcess, "locked"},
    {HostileObject::LockedByOtherUser, "locked-by-other-user"},
};

const struct { FsModel model; const char* name; } kModelNames[] = {
    {FsModel::None, "none"},
    {FsModel::Ext4Ordered, "ext4"},
    {FsModel::Fat, "fat"},
};

// Bytes as a word without blanks: printable ASCII but '%' and ' ' as is, the rest as %XX.
QString encode(const QByteArray& bytes)
{
    if (bytes.isEmpty()) return QStringLiteral("%");
    QString out;
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7f && c != '%') out += QLatin1Char(ch);
        else out += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return out;
}

bool decode(const QString& word, QByteArray* bytes)
{
    bytes->clear();
    if (word == QLatin1String("%")) return true;
    for (int i = 0; i < word.size(); ++i) {
        if (word.at(i) != QLatin1Char('%')) {
            bytes->append(word.at(i).toLatin1());
            continue;
        }
        bool ok = false;
        const int v = word.mid(i + 1, 2).toInt(&ok, 16);
        if (!ok || i + 2 >= word.size()) return false;
        bytes->append(static_cast<char>(v));
        i += 2;
    }
    return true;
}

QString nodeText(const Node& n)
{
    switch (n.kind) {
    case Node::Folder: return QStringLiteral("folder");
    case Node::Link: return QStringLiteral("link->%1").arg(QString::fromUtf8(n.bytes));
    case Node::File: break;
    }
    return QStringLiteral("file '%1'").arg(QString::fromLatin1(n.bytes.left(40)));
}

void addFolders(Tree* t, const QString& path)
{
    for (int i = path.indexOf(QLatin1Char('/')); i >= 0; i = path.indexOf(QLatin1Char('/'), i + 1)) {
        const QString f = path.left(i);
        if (!t->contains(f)) t->insert(f, Node{Node::Folder, QByteArray()});
    }
}

}  // namespace

QString rangesName(Ranges r)
{
    for (const auto& n : kRangesNames) {
        if (n.ranges == r) return QLatin1String(n.name);
    }
    return QString();
}

bool rangesFromName(const QString& name, Ranges* r)
{
    for (const auto& n : kRangesNames) {
        if (name == QLatin1String(n.name)) {
            *r = n.ranges;
            return true;
        }
    }
    return false;
}

QString hostilePlaceName(HostilePlace p)
{
    for (const auto& n : kPlaceNames) {
        if (n.place == p) return QLatin1String(n.name);
    }
    return QString();
}

bool hostilePlaceFromName(const QString& name, HostilePlace* p)
{
    for (const auto& n : kPlaceNames) {
        if (name == QLatin1String(n.name)) {
            *p = n.place;
            return true;
        }
    }
    return false;
}

QString hostileObjectName(HostileObject o)
{
    for (const auto& n : kObjectNames) {
        if (n.object == o) return QLatin1String(n.name);
    }
    return QString();
}

bool hostileObjectFromName(const QString& name, HostileObject* o)
{
    for (const auto& n : kObjectNames) {
        if (name == QLatin1String(n.name)) {
            *o = n.object;
            return true;
        }
    }
    return false;
}

QString fsModelName(FsModel m)
{
    for (const auto& n : kModelNames) {
        if (n.model == m) return QLatin1String(n.name);
    }
    return QString();
}

bool fsModelFromName(const QString& name, FsModel* m)
{
    for (const auto& n : kModelNames) {
        if (name == QLatin1String(n.name)) {
            *m = n.model;
            return true;
        }
    }
    return false;
}

QString damageName(Damage d)
{
    for (const auto& n : kDamageNames) {
        if (n.damage == d) return QLatin1String(n.name);
    }
    return QStringLiteral("none");
}

bool damageFromName(const QString& name, Damage* d)
{
    for (const auto& n : kDamageNames) {
        if (name == QLatin1String(n.name)) {
            *d = n.damage;
            return true;
        }
    }
    return false;
}

// Lines (words separated by one blank; paths and bytes never hold a blank):
//   old file <path> <bytes> | old folder <path>
//   download <dist> <bytes> digest|nodigest | folder <dist> | remove <dist>
//   kill-download <n> | kill-step <n> | damage <name> <n> | recovery-kill <n> |
//   concurrent-download <n> | concurrent-step <n> | cut <entry> <percent> drop|kill |
//   ranges honour|ignore|refuse|from-start | hostile <place> <object> | power-cut ext4|fat
QString writeCase(const Case& c)
{
    QString out;
    QTextStream s(&out);
    for (auto it = c.oldRelease.cbegin(); it != c.oldRelease.cend(); ++it) {
        if (it->kind == Node::Folder) s << "old folder " << encode(it.key().toUtf8()) << '\n';
        else if (it->kind == Node::File) s << "old file " << encode(it.key().toUtf8()) << ' ' << encode(it->bytes) << '\n';
    }
    for (const ListEntry& e : c.list) {
        switch (e.kind) {
        case ListEntry::Download:
            s << "download " << encode(e.dist.toUtf8()) << ' ' << encode(e.bytes) << (e.digest ? " digest" : " nodigest") << '\n';
            break;
        case ListEntry::FolderEntry: s << "folder " << encode(e.dist.toUtf8()) << '\n'; break;
        case ListEntry::Remove: s << "remove " << encode(e.dist.toUtf8()) << '\n'; break;
        }
    }
    if (c.killAtDownload) s << "kill-download " << c.killAtDownload << '\n';
    if (c.killAtStep) s << "kill-step " << c.killAtStep << '\n';
    if (c.damage != Damage::None) s << "damage " << damageName(c.damage) << ' ' << c.damageParam << '\n';
    for (int k : c.recoveryKills) s << "recovery-kill " << k << '\n';
    if (c.concurrentAtDownload) s << "concurrent-download " << c.concurrentAtDownload << '\n';
    if (c.concurrentAtStep) s << "concurrent-step " << c.concurrentAtStep << '\n';
    if (c.cutEntry >= 0) s << "cut " << c.cutEntry << ' ' << c.cutPercent << (c.cutByKill ? " kill" : " drop") << '\n';
    if (c.ranges != Ranges::Honour) s << "ranges " << rangesName(c.ranges) << '\n';
    if (c.hostilePlace != HostilePlace::None) {
        s << "hostile " << hostilePlaceName(c.hostilePlace) << ' ' << hostileObjectName(c.hostileObject) << '\n';
    }
    if (c.powerCut != FsModel::None) s << "power-cut " << fsModelName(c.powerCut) << '\n';
    s.flush();
    return out;
}

bool parseCase(const QString& text, Case* c, QString* error)
{
    *c = Case();
    int lineNo = 0;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        ++lineNo;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const QStringList w = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        auto fail = [&](const char* why) {
            *error = QStringLiteral("line %1: %2: %3").arg(lineNo).arg(QLatin1String(why), line);
            return false;
        };
        auto number = [&](const QString& word, int* n) {
            bool ok = false;
            *n = word.toInt(&ok);
            return ok;
        };
        QByteArray a, b;
        if (w[0] == QLatin1String("old") && w.size() >= 3) {
            if (!decode(w[2], &a)) return fail("bad path");
            if (w[1] == QLatin1String("folder") && w.size() == 3) {
                c->oldRelease.insert(QString::fromUtf8(a), Node{Node::Folder, QByteArray()});
            } else if (w[1] == QLatin1String("file") && w.size() == 4 && decode(w[3], &b)) {
                addFolders(&c->oldRelease, QString::fromUtf8(a));
                c->oldRelease.insert(QString::fromUtf8(a), Node{Node::File, b});
            } else {
                return fail("bad old entry");
            }
        } else if (w[0] == QLatin1String("download") && w.size() == 4) {
            if (!decode(w[1], &a) || !decode(w[2], &b)) return fail("bad download");
            c->list.append(ListEntry{ListEntry::Download, QString::fromUtf8(a), b, w[3] == QLatin1String("digest")});
        } else if ((w[0] == QLatin1String("folder") || w[0] == QLatin1String("remove")) && w.size() == 2) {
            if (!decode(w[1], &a)) return fail("bad path");
            c->list.append(ListEntry{w[0] == QLatin1String("folder") ? ListEntry::FolderEntry : ListEntry::Remove,
                                     QString::fromUtf8(a), QByteArray(), false});
        } else if (w[0] == QLatin1String("kill-download") && w.size() == 2) {
            if (!number(w[1], &c->killAtDownload)) return fail("bad number");
        } else if (w[0] == QLatin1String("kill-step") && w.size() == 2) {
            if (!number(w[1], &c->killAtStep)) return fail("bad number");
        } else if (w[0] == QLatin1String("damage") && w.size() == 3) {
            if (!damageFromName(w[1], &c->damage) || !number(w[2], &c->damageParam)) return fail("bad damage");
        } else if (w[0] == QLatin1String("recovery-kill") && w.size() == 2) {
            int n = 0;
            if (!number(w[1], &n)) return fail("bad number");
            c->recoveryKills.append(n);
        } else if (w[0] == QLatin1String("concurrent-download") && w.size() == 2) {
            if (!number(w[1], &c->concurrentAtDownload)) return fail("bad number");
        } else if (w[0] == QLatin1String("concurrent-step") && w.size() == 2) {
            if (!number(w[1], &c->concurrentAtStep)) return fail("bad number");
        } else if (w[0] == QLatin1String("cut") && w.size() == 4) {
            if (!number(w[1], &c->cutEntry) || !number(w[2], &c->cutPercent) || c->cutPercent < 0 || c->cutPercent > 100 ||
                (w[3] != QLatin1String("drop") && w[3] != QLatin1String("kill"))) {
                return fail("bad cut");
            }
            c->cutByKill = w[3] == QLatin1String("kill");
        } else if (w[0] == QLatin1String("ranges") && w.size() == 2) {
            if (!rangesFromName(w[1], &c->ranges)) return fail("bad ranges");
        } else if (w[0] == QLatin1String("hostile") && w.size() == 3) {
            if (!hostilePlaceFromName(w[1], &c->hostilePlace) || !hostileObjectFromName(w[2], &c->hostileObject)) {
                return fail("bad hostile object");
            }
        } else if (w[0] == QLatin1String("power-cut") && w.size() == 2) {
            if (!fsModelFromName(w[1], &c->powerCut)) return fail("bad file system");
        } else {
            return fail("unknown line");
        }
    }
    return true;
}

namespace {

// `key` as `t` spells it where names compare without case, or `key` itself.
QString spelled(const Tree& t, const QString& key, Qt::CaseSensitivity cs)
{
    if (cs == Qt::CaseSensitive || t.contains(key)) return key;
    for (auto it = t.cbegin(); it != t.cend(); ++it) {
        if (it.key().compare(key, Qt::CaseInsensitive) == 0) return it.key();
    }
    return key;
}

// `path` with every folder on its way spelled as `t` has it, the folders made.
QString makeWay(Tree* t, const QString& path, Qt::CaseSensitivity cs)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    QString way;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        way = spelled(*t, way.isEmpty() ? parts.at(i) : way + QLatin1Char('/') + parts.at(i), cs);
        if (!t->contains(way)) t->insert(way, Node{Node::Folder, QByteArray()});
    }
    return way.isEmpty() ? parts.last() : way + QLatin1Char('/') + parts.last();
}

}  // namespace

Tree applyList(const Tree& before, const QStringList& removals, const QStringList& folders,
               const QList<Placement>& downloads, Qt::CaseSensitivity cs)
{
    Tree t = before;
    for (const QString& r : removals) {
        for (auto it = t.begin(); it != t.end();) {
            if (it.key().compare(r, cs) == 0 || it.key().startsWith(r + QLatin1Char('/'), cs)) it = t.erase(it);
            else ++it;
        }
    }
    for (const QString& f : folders) {
        const QString key = spelled(t, makeWay(&t, f, cs), cs);
        if (!t.contains(key)) t.insert(key, Node{Node::Folder, QByteArray()});
    }
    for (const Placement& d : downloads) {
        const QString path = makeWay(&t, d.path, cs);
        const QString existing = spelled(t, path, cs);
        if (d.digest && t.contains(existing) && t.value(existing) == Node{Node::File, d.bytes}) continue;  // in place, left as it is
        t.remove(existing);
        t.insert(path, Node{Node::File, d.bytes});
    }
    return t;
}

QString treeDifference(const Tree& expected, const Tree& actual, int maxLines)
{
    QStringList lines;
    QStringList keys = expected.keys() + actual.keys();
    keys.removeDuplicates();
    std::sort(keys.begin(), keys.end());
    for (const QString& k : keys) {
        const bool e = expected.contains(k), a = actual.contains(k);
        if (e && a && expected.value(k) == actual.value(k)) continue;
        if (lines.size() >= maxLines) {
            lines.append(QStringLiteral("..."));
            break;
        }
        if (!a) lines.append(QStringLiteral("  missing %1 (%2)").arg(k, nodeText(expected.value(k))));
        else if (!e) lines.append(QStringLiteral("  extra   %1 (%2)").arg(k, nodeText(actual.value(k))));
        else lines.append(QStringLiteral("  differs %1: %2 instead of %3").arg(k, nodeText(actual.value(k)), nodeText(expected.value(k))));
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace sim
