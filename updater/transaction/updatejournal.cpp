#include "transaction/updatejournal.h"

#include "list/pathpolicy.h"
#include "list/updaterfolders.h"
#include "log/quotedname.h"
#include "platform/append_file.h"
#include "platform/folder_flush.h"
#include "platform/regular_file.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QUuid>

namespace {

// A journal lists a few thousand paths at most; anything larger is not one of ours.
const qint64 kMaxJournalBytes = 64 * 1024 * 1024;
// The step record: one short line per step, done and undone.
const qint64 kMaxStepsBytes = 16 * 1024 * 1024;

QJsonArray movesToJson(const QList<JournalMove>& moves)
{
    QJsonArray a;
    for (const JournalMove& m : moves) a.append(QJsonObject{{QStringLiteral("from"), m.from}, {QStringLiteral("to"), m.to}});
    return a;
}

// The strings of the array `v`; false when it is not an array of strings.
bool stringsFromJson(const QJsonValue& v, QStringList* out)
{
    out->clear();
    if (!v.isArray()) return false;
    for (const QJsonValue& s : v.toArray()) {
        if (!s.isString()) return false;
        out->append(s.toString());
    }
    return true;
}

bool movesFromJson(const QJsonValue& v, QList<JournalMove>* out)
{
    out->clear();
    if (!v.isArray()) return false;
    for (const QJsonValue& m : v.toArray()) {
        const QJsonValue from = m.toObject().value(QStringLiteral("from"));
        const QJsonValue to = m.toObject().value(QStringLiteral("to"));
        if (!m.isObject() || !from.isString() || !to.isString()) return false;
        out->append(JournalMove{from.toString(), to.toString()});
    }
    return true;
}

QString stateName(UpdateJournal::State s)
{
    switch (s) {
    case UpdateJournal::State::Commit: return QStringLiteral("commit");
    case UpdateJournal::State::Rollback: return QStringLiteral("rollback");
    case UpdateJournal::State::Done: return QStringLiteral("done");
    }
    return QString();
}

const QString& updatesFolder()
{
    static const QString s = QLatin1String(kUpdatesFolder);
    return s;
}

// Whether `rel` is `folder` or lies below it, as this platform compares names.
bool within(const QString& rel, const QString& folder)
{
    return pathpolicy::sameName(rel, folder) || rel.startsWith(folder + QLatin1Char('/'), pathpolicy::nameCase());
}

// Why `rel` is not a clean relative path below the updater's folder, or "".
QString shapeProblem(const QString& rel)
{
    if (rel.isEmpty() || rel.contains(QLatin1Char('\\')) || rel.contains(QLatin1Char(':')) || rel.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("%1 is not a relative path").arg(quotedName(rel));
    }
    for (const QString& part : rel.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) {
            return QStringLiteral("%1 is not a clean path inside the updater's folder").arg(quotedName(rel));
        }
    }
    const QString alias = pathpolicy::windowsAliasProblem(rel);
    return alias.isEmpty() ? QString() : QStringLiteral("%1: %2").arg(quotedName(rel), alias);
}

// Why a list could not name `rel` as a target, or "".
QString targetProblem(const QString& rel)
{
    const QString shape = shapeProblem(rel);
    if (!shape.isEmpty()) return shape;
    const QString config = QLatin1String(kConfigFolder);
    for (const QString& kept : {config, updatesFolder()}) {
        if (within(kept, rel) && !within(rel, updatesFolder())) {
            return QStringLiteral("%1 would take the updater's own folders").arg(quotedName(rel));
        }
    }
    if (within(rel, config)) return QStringLiteral("%1 lies in the application's settings").arg(quotedName(rel));
    if (within(rel, updatesFolder())) {
        const QString name = rel.mid(updatesFolder().size() + 1);
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || isUpdaterOwnName(name)) {
            return QStringLiteral("%1 is the updater's own").arg(quotedName(rel));
        }
    }
    return QString();
}

}  // namespace

bool isUpdaterOwnName(const QString& name)
{
    for (const char* own : {kStagingName, kBackupName, kJournalName, kRecordName, kRepairName, kLockName}) {
        const QString o = QLatin1String(own);
        if (pathpolicy::sameName(name, o) || name.startsWith(o + QLatin1Char('.'), pathpolicy::nameCase())) return true;
    }
    return false;
}

bool writeUpdateJournal(const QString& path, const UpdateJournal& journal, QString* error)
{
    QJsonObject o;
    o.insert(QStringLiteral("state"), stateName(journal.state));
    o.insert(QStringLiteral("id"), journal.id);
    o.insert(QStringLiteral("version"), journal.version);
    o.insert(QStringLiteral("stashes"), movesToJson(journal.stashes));
    o.insert(QStringLiteral("folders"), QJsonArray::fromStringList(journal.folders));
    o.insert(QStringLiteral("folderGuards"), QJsonArray::fromStringList(journal.folderGuards));
    o.insert(QStringLiteral("places"), movesToJson(journal.places));
    o.insert(QStringLiteral("unlinks"), QJsonArray::fromStringList(journal.unlinks));
    // The journal is replaced by a rename, never written through a link in its place.
    if (pathpolicy::isAnyLink(path)) {
        if (error) *error = QStringLiteral("cannot write the journal %1: a link is in its place").arg(path);
        return false;
    }
    QSaveFile file(path);
    const QByteArray bytes = QJsonDocument(o).toJson(QJsonDocument::Compact);
    // QSaveFile::commit() flushes the data to disk before it renames the file into place.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error) *error = QStringLiteral("cannot write the journal %1: %2").arg(path, file.errorString());
        return false;
    }
    // The rename into place is durable only once the folder is flushed too.
    return flushFolder(QFileInfo(path).path(), error);
}

bool readUpdateJournal(const QString& path, UpdateJournal* journal, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error) *error = QStringLiteral("the journal %1 %2").arg(path, why);
        return false;
    };
    if (pathpolicy::isAnyLink(path)) return fail(QStringLiteral("is a link"));
    if (QFileInfo(path).isDir()) return fail(QStringLiteral("is a folder"));
    QFile file;
    if (!openRegularForReading(file, path)) return fail(QStringLiteral("cannot be read as a plain file"));
    if (file.size() > kMaxJournalBytes) return fail(QStringLiteral("is too large to be one"));
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) return fail(QStringLiteral("is damaged"));
    const QJsonObject o = doc.object();
    // A journal without a state, or with one it does not know, is not taken for anything.
    const QString state = o.value(QStringLiteral("state")).toString();
    if (state == QLatin1String("commit")) {
        journal->state = UpdateJournal::State::Commit;
    } else if (state == QLatin1String("rollback")) {
        journal->state = UpdateJournal::State::Rollback;
    } else if (state == QLatin1String("done")) {
        journal->state = UpdateJournal::State::Done;
    } else {
        return fail(QStringLiteral("is damaged: it has no state"));
    }
    journal->id = o.value(QStringLiteral("id")).toString();
    journal->version = o.value(QStringLiteral("version")).toString();
    if (journal->id.isEmpty() || !o.value(QStringLiteral("version")).isString() ||
        !movesFromJson(o.value(QStringLiteral("stashes")), &journal->stashes) ||
        !stringsFromJson(o.value(QStringLiteral("folders")), &journal->folders) ||
        !stringsFromJson(o.value(QStringLiteral("folderGuards")), &journal->folderGuards) ||
        !movesFromJson(o.value(QStringLiteral("places")), &journal->places) ||
        !stringsFromJson(o.value(QStringLiteral("unlinks")), &journal->unlinks) ||
        journal->folderGuards.size() != journal->folders.size()) {
        return fail(QStringLiteral("is damaged: a part of it is missing"));
    }
    return true;
}

QString updateJournalProblem(const UpdateJournal& journal)
{
    const QString backup = updatesFolder() + QLatin1Char('/') + QLatin1String(kBackupName);
    const QString staging = updatesFolder() + QLatin1Char('/') + QLatin1String(kStagingName);
    static const QRegularExpression backupEntry(QStringLiteral("^(.*)/([fr])[0-9]{1,9}$"));
    static const QRegularExpression stashFolder(QStringLiteral("^/[0-9]{1,9}$"));
    static const QRegularExpression stagedEntry(QStringLiteral("^/[0-9]{1,9}$"));
    QString stash;
    QSet<QString> backups;
    QHash<QString, QString> removalOf;  // backup of a removal -> the removed path
    for (const JournalMove& s : journal.stashes) {
        QString problem = targetProblem(s.from);
        if (problem.isEmpty()) problem = shapeProblem(s.to);
        if (!problem.isEmpty()) return problem;
        const QRegularExpressionMatch m = backupEntry.match(s.to);
        const QString folder = m.captured(1);
        if (!m.hasMatch() || (folder != backup && !(folder.startsWith(backup) && stashFolder.match(folder.mid(backup.size())).hasMatch())) ||
            (!stash.isEmpty() && folder != stash) || backups.contains(s.to)) {
            return QStringLiteral("%1 is not a backup this updater makes").arg(quotedName(s.to));
        }
        stash = folder;
        backups.insert(s.to);
        if (m.captured(2) == QLatin1String("r")) removalOf.insert(s.to, s.from);
    }
    for (const JournalMove& p : journal.places) {
        QString problem = targetProblem(p.to);
        if (problem.isEmpty()) problem = shapeProblem(p.from);
        if (!problem.isEmpty()) return problem;
        if (p.from.startsWith(staging) && stagedEntry.match(p.from.mid(staging.size())).hasMatch()) continue;
        // A kept file: from inside a removal's backup, at its own path below the removed path.
        bool kept = false;
        for (auto r = removalOf.constBegin(); r != removalOf.constEnd() && !kept; ++r) {
            kept = p.from.startsWith(r.key() + QLatin1Char('/')) && p.to == r.value() + p.from.mid(r.key().size());
        }
        if (!kept) return QStringLiteral("%1 is neither a staged file nor a kept one").arg(quotedName(p.from));
    }
    for (int i = 0; i < journal.folders.size(); ++i) {
        const QString problem = targetProblem(journal.folders.at(i));
        if (!problem.isEmpty()) return problem;
        const QString guard = journal.folderGuards.at(i);
        if (!guard.isEmpty() && !removalOf.contains(guard)) return QStringLiteral("%1 is not a removal's backup").arg(quotedName(guard));
    }
    for (const QString& u : journal.unlinks) {
        const QString problem = targetProblem(u);
        if (!problem.isEmpty()) return problem;
    }
    return QString();
}

bool JournalSteps::start(const QString& path, const QString& id, QString* error)
{
    m_path = path;
    m_marks.clear();
    m_unflushed = false;
    // A fresh file (a link in its place is never written through). It reaches the disk with
    // the first flush of its records, its name with the journal's folder flush right after.
    QFile::remove(path);
    if (pathpolicy::isAnyLink(path) || QFileInfo::exists(path) || !fileutil::appendNoFollow(path.toStdString(), id.toStdString() + '\n')) {
        if (error) *error = QStringLiteral("cannot record the steps in %1").arg(path);
        return false;
    }
    return true;
}

bool JournalSteps::load(const QString& path, const QString& id)
{
    m_path = path;
    m_marks.clear();
    if (!pathpolicy::isAnyLink(path) && !QFileInfo::exists(path)) return true;
    QFile file;
    if (pathpolicy::isAnyLink(path) || !openRegularForReading(file, path) || file.size() > kMaxStepsBytes) return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    // The last piece is what follows the last line's end: empty, or a line cut short. Before
    // the id's line ends, the record is one a kill or a power cut left just begun, or none.
    if (lines.size() == 1) return id.toUtf8().startsWith(lines.first());
    // A whole first line that is another commit's id: a record never started for this one.
    // Any other first line is no record the updater wrote (another process's bytes).
    if (lines.first() != id.toUtf8()) return !QUuid::fromString(QLatin1String(lines.first())).isNull();
    static const QRegularExpression form(QStringLiteral("^([+-])([0-9]{1,9})$"));
    for (int i = 1; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch m = form.match(QString::fromLatin1(lines.at(i)));
        if (!m.hasMatch()) continue;
        m_marks.insert(m.captured(2).toInt(), m.captured(1) == QLatin1String("+") ? Mark::Done : Mark::Undone);
    }
    return true;
}

bool JournalSteps::set(int step, Mark mark)
{
    m_marks.insert(step, mark);
    m_unflushed = true;
    const QByteArray line = (mark == Mark::Done ? "+" : "-") + QByteArray::number(step) + '\n';
    return fileutil::appendNoFollow(m_path.toStdString(), line.toStdString());
}

bool JournalSteps::flush(QString* error)
{
    if (!m_unflushed || fileutil::flushFileNoFollow(m_path.toStdString())) {
        m_unflushed = false;
        return true;
    }
    if (error) *error = QStringLiteral("cannot flush the record of the commit's steps %1 to disk").arg(m_path);
    return false;
}
