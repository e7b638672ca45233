// A release staged and committed as the update procedure does it (begin, the staged files, the
// plan, commit), for the updater's Qt tests that check what a commit does with a list or a plan.
#pragma once

#include "list/filelist.h"
#include "transaction/updatetransaction.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace testcommit {

// What to commit, every path absolute inside the updater's folder: each target with the bytes
// staged for it, the removals, the folders the release names and the files it keeps.
struct Release {
    QString version = QStringLiteral("2");
    QList<QPair<QString, QByteArray>> files;
    QStringList removals;
    QStringList folders;
    QStringList kept;
};

// The release a list read by readFileList describes: download i staged with bytes.value(i)
// (its "dist" as text when no bytes are given).
inline Release releaseOf(const FileListResult& list, const QList<QByteArray>& bytes = {})
{
    Release release;
    for (int i = 0; i < list.downloads.size(); ++i) {
        const QString target = list.downloads.at(i).dist;
        release.files.append(qMakePair(target, i < bytes.size() ? bytes.at(i) : target.toUtf8()));
    }
    release.removals = list.removals;
    release.folders = list.folders;
    return release;
}

// Begins `tx` and stages the release's files into its staging folder: `plan` is then what
// commit() takes. False, with the reason, when the staging folder cannot be made or written.
inline bool stage(UpdateTransaction& tx, const Release& release, CommitPlan* plan, QString* why)
{
    if (!tx.begin(why)) return false;
    *plan = CommitPlan();
    plan->version = release.version;
    for (int i = 0; i < release.files.size(); ++i) {
        QFile staged(tx.stagedPath(i));
        if (!staged.open(QIODevice::WriteOnly) || staged.write(release.files.at(i).second) != release.files.at(i).second.size()) {
            *why = QStringLiteral("cannot stage %1").arg(staged.fileName());
            return false;
        }
        plan->files.append(qMakePair(tx.stagedPath(i), release.files.at(i).first));
    }
    plan->removals = release.removals;
    plan->folders = release.folders;
    plan->kept = release.kept;
    return true;
}

// stage(), then commit(): true when the release is in place; otherwise `why` says why.
inline bool commit(UpdateTransaction& tx, const Release& release, QString* why)
{
    CommitPlan plan;
    return stage(tx, release, &plan, why) && tx.commit(plan, why);
}

}  // namespace testcommit
