// How a value that the server chose is written into a log line or a note.
#pragma once

#include <QString>

// Log text of a name or URL that the server chose: in double quotes, with '"', '\\' and every
// control character escaped, so that no value can close the quotes or start a line of its own.
QString quotedName(const QString& s);
