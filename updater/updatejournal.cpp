#include "updatejournal.h"

#include "platform/folder_flush.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// A journal lists a few thousand paths at most; anything larger is not one of ours.
const qint64 kMaxJournalBytes = 64 * 1024 * 1024;

QJsonArray movesToJson(const QList<JournalMove>& moves)
{
    QJsonArray a;
    for (const JournalMove& m : moves) a.append(QJsonObject{{QStringLiteral("from"), m.from}, {QStringLiteral("to"), m.to}});
    return a;
}

QList<JournalMove> movesFromJson(const QJsonValue& v)
{
    QList<JournalMove> moves;
    for (const QJsonValue& m : v.toArray()) {
        moves.append(JournalMove{m.toObject().value(QStringLiteral("from")).toString(),
                                 m.toObject().value(QStringLiteral("to")).toString()});
    }
    return moves;
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

}  // namespace

bool writeUpdateJournal(const QString& path, const UpdateJournal& journal, QString* error)
{
    QJsonObject o;
    o.insert(QStringLiteral("state"), stateName(journal.state));
    o.insert(QStringLiteral("version"), journal.version);
    o.insert(QStringLiteral("stashes"), movesToJson(journal.stashes));
    o.insert(QStringLiteral("folders"), QJsonArray::fromStringList(journal.folders));
    o.insert(QStringLiteral("folderGuards"), QJsonArray::fromStringList(journal.folderGuards));
    o.insert(QStringLiteral("places"), movesToJson(journal.places));
    o.insert(QStringLiteral("unlinks"), QJsonArray::fromStringList(journal.unlinks));
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxJournalBytes) {
        if (error) *error = QStringLiteral("cannot read the journal %1").arg(path);
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonObject o = doc.object();
    const QString state = o.value(QStringLiteral("state")).toString();
    if (parse.error != QJsonParseError::NoError || state.isEmpty()) {
        if (error) *error = QStringLiteral("the journal %1 is damaged").arg(path);
        return false;
    }
    journal->state = state == QLatin1String("done") ? UpdateJournal::State::Done
                     : state == QLatin1String("rollback") ? UpdateJournal::State::Rollback
                                                          : UpdateJournal::State::Commit;
    journal->version = o.value(QStringLiteral("version")).toString();
    journal->stashes = movesFromJson(o.value(QStringLiteral("stashes")));
    journal->folders.clear();
    for (const QJsonValue& v : o.value(QStringLiteral("folders")).toArray()) journal->folders.append(v.toString());
    journal->folderGuards.clear();
    for (const QJsonValue& v : o.value(QStringLiteral("folderGuards")).toArray()) journal->folderGuards.append(v.toString());
    while (journal->folderGuards.size() < journal->folders.size()) journal->folderGuards.append(QString());
    journal->places = movesFromJson(o.value(QStringLiteral("places")));
    journal->unlinks.clear();
    for (const QJsonValue& v : o.value(QStringLiteral("unlinks")).toArray()) journal->unlinks.append(v.toString());
    return true;
}
