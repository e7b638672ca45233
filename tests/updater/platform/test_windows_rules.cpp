// What only the Windows program does: a file held open without sharing is retried and then
// left as it was, names compare as Windows compares them, and the single-instance name is
// private to the user and session.
#include "filelist.h"
#include "platform/file_replace.h"
#include "platform/instance_name.h"

#include "support/files.h"

#include <QElapsedTimer>
#include <QtTest>

#include <windows.h>
#include <sddl.h>

using testfiles::readFile;
using testfiles::writeFile;

namespace {
std::wstring native(const QString& path) { return QDir::toNativeSeparators(path).toStdWString(); }

HANDLE holdWithoutSharing(const QString& path)
{
    return CreateFileW(native(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An old core.dll that another program holds open without sharing, and its downloaded successor.
struct HeldReplacement {
    QTemporaryDir dir;
    const QString target = dir.path() + "/core.dll";
    const QString source = dir.path() + "/core.dll.download";
    HANDLE held = INVALID_HANDLE_VALUE;

    HeldReplacement()
    {
        writeFile(target, "old core");
        writeFile(source, "new core");
        held = holdWithoutSharing(target);
    }
};
}  // namespace

class TestWindowsRules : public QObject
{
    Q_OBJECT
private slots:
    void fileHeldOpenIsRetriedThenLeftAsItWas()
    {
        HeldReplacement r;
        const QString &target = r.target, &source = r.source;
        const HANDLE held = r.held;
        QVERIFY(held != INVALID_HANDLE_VALUE);
        QElapsedTimer clock;
        clock.start();
        QString error;
        QVERIFY(!replaceFileRetrying(source, target, &error));
        QVERIFY(clock.elapsed() >= kReplaceRetryMs - kReplaceRetryStepMs);
        CloseHandle(held);
        QCOMPARE(readFile(target), QByteArray("old core"));
        QCOMPARE(readFile(source), QByteArray("new core"));
        QVERIFY2(error.contains(QDir::toNativeSeparators(target)) && error.contains("Windows error "), qPrintable(error));
    }

    void fileLetGoWithinTheRetriesIsReplaced()
    {
        HeldReplacement r;
        const QString &target = r.target, &source = r.source;
        const HANDLE held = r.held;
        QVERIFY(held != INVALID_HANDLE_VALUE);
        QTimer::singleShot(1000, [held]() { CloseHandle(held); });  // a terminated program letting go
        QString error;
        QVERIFY2(replaceFileRetrying(source, target, &error), qPrintable(error));
        QCOMPARE(readFile(target), QByteArray("new core"));
        QVERIFY(!QFileInfo::exists(source));
    }

    void otherSpellingsOfAKeptFileAreNotRemoved_data()
    {
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("spelling");
        const QString dll = "domvista-core-library.dll";
        QTest::newRow("letter case") << dll << "DOMVISTA-CORE-LIBRARY.DLL";
        QTest::newRow("8.3 short name") << dll << "<short>";
        QTest::newRow("unnamed stream") << dll << "domvista-core-library.dll::$DATA";
        QTest::newRow("both") << dll << "Domvista-Core-Library.dll::$data";
        QTest::newRow("short name of the settings' parent") << "Application" << "<short>";
    }
    void otherSpellingsOfAKeptFileAreNotRemoved()
    {
        QFETCH(QString, kept);
        QFETCH(QString, spelling);
        QTemporaryDir dir;
        writeFile(dir.path() + "/domvista-core-library.dll", "old");
        writeFile(dir.path() + "/Application/Config/config.ini", "[Application]");
        writeFile(dir.path() + "/me", "updater");
        writeFile(dir.path() + "/obsolete.dll", "obsolete");
        if (spelling == "<short>") {
            wchar_t shortPath[MAX_PATH];
            const DWORD n = GetShortPathNameW(native(dir.path() + "/" + kept).c_str(), shortPath, MAX_PATH);
            if (n == 0 || n >= MAX_PATH) QSKIP("this volume keeps no 8.3 short names");
            spelling = QFileInfo(QString::fromWCharArray(shortPath, int(n))).fileName();
            QVERIFY(spelling.contains('~'));
        }
        const QString xml = QString("<files><file url='http://h/a' dist='domvista-core-library.dll'/>"
                                    "<remove dist='%1'/><remove dist='obsolete.dll'/></files>").arg(spelling);
        const FileListResult r = readFileList(xml.toUtf8(), dir.path(), "me");
        // Refused, or (the same name in another letter case) kept for its download.
        QCOMPARE(r.removals, QStringList{dir.path() + "/obsolete.dll"});
    }

    void singleInstanceNameBelongsToThisUserAndSession()
    {
        HANDLE token = nullptr;
        QVERIFY(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        char buffer[256];
        DWORD size = 0;
        QVERIFY(GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size));
        CloseHandle(token);
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        wchar_t* sid = nullptr;
        QVERIFY(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
        const QString expected = QString("desktop-updater-%1-%2").arg(QString::fromWCharArray(sid)).arg(session);
        LocalFree(sid);
        QVERIFY(expected.contains("-S-1-5-"));
        QCOMPARE(singleInstanceName("desktop-updater"), expected);
    }
};

QTEST_GUILESS_MAIN(TestWindowsRules)
#include "test_windows_rules.moc"
