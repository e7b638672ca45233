// Ordering of version texts such as "1.10" and "2.0.3-beta".
#pragma once

#include <QString>

// Compares two version texts part by part; returns <0, 0 or >0 like strcmp.
//
// The rule:
//  * Surrounding blanks are ignored. An empty version is lower than any non-empty one.
//  * The texts are split at '.'; parts are compared from the left, and a missing part counts
//    as an empty one, so "1.2" equals "1.2.0" and "1.2" is lower than "1.2.1".
//  * Within a part the leading run of digits is compared as a number of any length (leading
//    zeros do not count: "01" equals "1"). A part without leading digits is lower than any part
//    with them, and an empty part counts as 0.
//  * When the numbers are equal, the rest of the part (its text after the digits) decides:
//    no rest is higher than any rest ("1.2" is newer than "1.2rc1", a pre-release), and two
//    rests are compared as text, character code by character code.
int compareVersions(const QString& a, const QString& b);

// True when `offered` is newer than `installed` under compareVersions.
inline bool isNewerVersion(const QString& offered, const QString& installed)
{
    return compareVersions(offered, installed) > 0;
}
