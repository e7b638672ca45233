// Downloads that a kill or a failure cut short, kept between runs so that the next update asks
// only for the rest. They wait in kUpdatesFolder/partial, each under a name made from the SHA-256
// of the whole file as its list entry gives it and the URL it comes from (partKey: two entries
// of one content from two addresses keep a part each): NAME.part with the bytes received so far,
// and NAME.info with the URL, the size and the validator (ETag or Last-Modified) of the reply
// they came from. Bytes
// without a validator are never kept: nothing could tell whether the rest belongs to them.
#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

const char kPartialFolderName[] = "partial";

// One file's kept bytes; `usable` is false where nothing can be kept at all (a link on the way).
struct HeldPart {
    bool usable = false;
    QString partPath;
    QString infoPath;
    qint64 bytes = 0;      // 0: nothing held (the part starts empty)
    QByteArray validator;  // the one the bytes held came with (set whenever bytes > 0)
};

// The text of NAME.info, and back. readPartInfo() is false for anything it did not write (a
// missing line, another order, a size that is no number, a validator that could not be sent).
QByteArray writePartInfo(const QString& url, qint64 size, const QByteArray& validator);
bool readPartInfo(const QByteArray& text, QString* url, qint64* size, QByteArray* validator);

// The name of the part of the file `sha256` served at `url`: 64 hex digits.
QString partKey(const QString& sha256, const QString& url);

class PartialStore
{
public:
    // The store of the updater whose folder is `baseFolder`.
    explicit PartialStore(const QString& baseFolder);

    QString folder() const { return m_folder; }

    // The bytes kept for the file `sha256` served at `url` with `size` bytes; the folder is made
    // when missing. What does not fit goes first: a part without its info or with another
    // source, a part larger than the file, a link in the place of either, a file in the place of
    // the folder. Not usable when a link stands on the way to the folder.
    HeldPart held(const QString& sha256, const QString& url, qint64 size) const;
    // Everything kept except the parts named `keys` (partKey) goes.
    void keepOnly(const QSet<QString>& keys) const;
    // The folder goes with everything kept in it (a link in its place goes itself).
    void clear() const;

private:
    bool folderUsable() const;

    QString m_base;
    QString m_folder;
};

// Records the source of the bytes that `part` is about to receive, before the first of them:
// its info is written anew (never through a link), or removed when the reply gave no validator,
// so that what a kill leaves is either kept with its source or dropped. False when it cannot be
// written.
bool recordPartSource(const HeldPart& part, const QString& url, qint64 size, const QByteArray& validator);
// A part's bytes and info go (a link in their place goes itself).
void dropPart(const HeldPart& part);

// Moves the whole part to `stagedPath` (which must not exist) once its bytes are on disk: the
// part is flushed (fdatasync, FlushFileBuffers) and so is its folder before the rename, and the
// staging folder after it, so a commit that records the file placed never finds it cut short
// after a power cut. The part must be a regular file with one name, before the rename and after
// it (a second name would let its holder change the installed file); then its info goes. False,
// with the reason, when it is not, or a flush or the rename fails: nothing is staged then.
bool stagePart(const HeldPart& part, const QString& stagedPath, QString* why);
