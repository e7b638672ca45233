// Putting a finished file in place of the old one.
#pragma once

#include <QString>

// How long a replacement keeps trying while the old file is in use: an application that was
// just terminated can hold its files for a moment longer, a program that keeps them open does
// not let go at all.
const int kReplaceRetryMs = 5000;
// Pause between two attempts.
const int kReplaceRetryStepMs = 250;

// Renames `source` over `target` in one step (on Windows MoveFileExW with
// MOVEFILE_REPLACE_EXISTING). While another process holds either file open without sharing it,
// tries again until kReplaceRetryMs have passed, keeping the dialog painted. On failure the
// target keeps its old content, `source` is left where it is, and `error` (when given) names
// both files and the system's error code and text.
bool replaceFileRetrying(const QString& source, const QString& target, QString* error);
