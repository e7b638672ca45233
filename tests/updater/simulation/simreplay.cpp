#include "simreplay.h"

#include "simshrink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <cstdio>

namespace sim {

namespace {

// What a case needs of the file system ("# needs: <what>" lines), and why it is missing here,
// or an empty string.
QString missingNeed(const QString& caseText, const QString& scratch)
{
    for (const QString& line : caseText.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("# needs: "))) continue;
        const QString need = line.mid(9).trimmed();
#ifdef Q_OS_WIN
        QDir().mkpath(scratch);
        if (need == QLatin1String("streams")) {
            // A named stream: its bytes do not show in the file itself.
            const QString file = scratch + QStringLiteral("/stream-probe.txt");
            QFile plain(file);
            if (plain.open(QIODevice::WriteOnly)) plain.write("main");
            plain.close();
            QFile stream(file + QStringLiteral(":probe"));
            const bool written = stream.open(QIODevice::WriteOnly) && stream.write("side") == 4;
            stream.close();
            if (!written || QFileInfo(file).size() != 4 || QDir(scratch).entryList(QDir::Files).size() != 1) {
                return QStringLiteral("this file system keeps no named streams (a stream name is refused or becomes a file of its own)");
            }
        } else if (need == QLatin1String("short-names")) {
            // An 8.3 short name that opens the long-named folder.
            const QString folder = scratch + QStringLiteral("/a-long-folder-name");
            QDir().mkpath(folder);
            wchar_t shortPath[MAX_PATH] = {};
            const std::wstring longPath = QDir::toNativeSeparators(folder).toStdWString();
            const DWORD n = GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH);
            const QString shortName = n > 0 && n < MAX_PATH ? QFileInfo(QString::fromWCharArray(shortPath, int(n))).fileName() : QString();
            if (shortName.isEmpty() || shortName.compare(QLatin1String("a-long-folder-name"), Qt::CaseInsensitive) == 0 ||
                !QFileInfo(scratch + QLatin1Char('/') + shortName).isDir()) {
                return QStringLiteral("this file system gives no 8.3 short names that open the long-named file");
            }
        } else {
            return QStringLiteral("unknown need \"%1\"").arg(need);
        }
#else
        (void)scratch;
        (void)need;  // the names are plain names here: the case runs as it is
#endif
    }
    return QString();
}

}  // namespace

int replayFile(Simulation& simulation, const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
        return 2;
    }
    Case c;
    QString error;
    if (!parseCase(QString::fromUtf8(f.readAll()), &c, &error)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(file), qPrintable(error));
        return 2;
    }
    const Verdict v = simulation.run(c);
    if (!v.skipped.isEmpty()) {
        std::printf("%s: skipped: %s\n", qPrintable(file), qPrintable(v.skipped));
        return 0;
    }
    std::printf("%s: %s (%d starts)\n%s", qPrintable(file), v.ok ? "holds" : "FAILS", v.starts, qPrintable(v.report));
    return v.ok ? 0 : 1;
}

int replayFolder(Simulation& simulation, const QString& folder)
{
    const QStringList names = QDir(folder).entryList(QStringList{QStringLiteral("*.case")}, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        std::fprintf(stderr, "no cases in %s\n", qPrintable(folder));
        return 2;
    }
    int wrong = 0;
    for (const QString& name : names) {
        QFile f(folder + QLatin1Char('/') + name);
        Case c;
        QString error;
        if (!f.open(QIODevice::ReadOnly)) {
            std::printf("%s: cannot read\n", qPrintable(name));
            ++wrong;
            continue;
        }
        const QString text = QString::fromUtf8(f.readAll());
        if (!parseCase(text, &c, &error)) {
            std::printf("%s: %s\n", qPrintable(name), qPrintable(error));
            ++wrong;
            continue;
        }
        bool known = text.contains(QLatin1String("# known failure:"));
#ifdef Q_OS_WIN
        known = known || text.contains(QLatin1String("# known failure on windows:"));
#endif
        const QString missing = missingNeed(text, QDir::tempPath() + QStringLiteral("/updater-simulation-probe"));
        if (!missing.isEmpty()) {
            std::printf("%s: skipped: %s\n", qPrintable(name), qPrintable(missing));
            continue;
        }
        const Verdict v = simulation.run(c);
        if (!v.skipped.isEmpty()) {
            std::printf("%s: skipped: %s\n", qPrintable(name), qPrintable(v.skipped));
        } else if (v.ok && !known) {
            std::printf("%s: holds\n", qPrintable(name));
        } else if (!v.ok && known) {
            std::printf("%s: fails, as its mark says: %s\n", qPrintable(name), qPrintable(failureKind(v)));
        } else if (v.ok) {
            std::printf("%s: HOLDS NOW: the fault is mended, remove its \"known failure\" mark\n", qPrintable(name));
            ++wrong;
        } else {
            std::printf("%s: FAILS\n%s\n", qPrintable(name), qPrintable(v.report));
            ++wrong;
        }
    }
    return wrong == 0 ? 0 : 1;
}

}  // namespace sim
