// desktop-updater.log beside the updater: what the updater refused or could not do, kept for
// the user and for support after the dialog has gone (a GUI program has no console on Windows).
#pragma once

#include <QString>
#include <QStringList>

// The log's file name inside the updater's folder.
const char kUpdateLogName[] = "desktop-updater.log";
// Size at which the log is started afresh (the previous one is kept as ".old"): one run writes
// a few lines, so this holds thousands of runs and never grows without bound.
const qint64 kMaxUpdateLogBytes = 256 * 1024;

// Appends one line per entry of `lines`, each stamped with the UTC time, to the log in
// `folder` at once (a run that is killed keeps what it wrote). Also hands them to qWarning()
// (stderr; on Windows without a console, the debugger output). A link in the log's place is
// never written through. A user name and password in a URL are left out, and a control
// character in a line is escaped, so one entry stays one line. Failures to write the log are
// ignored.
void appendUpdateLog(const QString& folder, const QStringList& lines);

// `line` as the log writes it: without credentials, control characters escaped.
QString sanitizedLogLine(const QString& line);
