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
}  // namespace

class TestWindowsRules : public QObject
{
    Q_OBJECT
private slots:
    void fileHeldOpenIsRetriedThenLeftAsItWas()
    {
        QTemporaryDir dir;
        const QString target = dir.path() + "/core.dll", source = dir.path() + "/core.dll.download";
        writeFile(target, "old core");
        writeFile(source, "new core");
        HANDLE held = holdWithoutSharing(target);
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
        QTemporaryDir dir;
        const QString target = dir.path() + "/core.dll", source = dir.path() + "/core.dll.download";
        writeFile(target, "old core");
        writeFile(source, "new core");
        HANDLE held = holdWithoutSharing(target);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        QTimer::singleShot(1000, [held]() { CloseHandle(held); });  // a terminated program letting go
        QString error;
        QVERIFY2(replaceFileRetrying(source, target, &error), qPrintable(error));
        QCOMPARE(readFile(target), QByteArray("new core"));
        QVERIFY(!QFileInfo::exists(source));
    }

    void otherSpellingsOfADownloadedFileAreNotRemoved_data()
    {
        QTest::addColumn<QString>("spelling");
        QTest::newRow("letter case") << "DOMVISTA-CORE-LIBRARY.DLL";
        QTest::newRow("8.3 short name") << "<short>";
        QTest::newRow("unnamed stream") << "domvista-core-library.dll::$DATA";
        QTest::newRow("both") << "Domvista-Core-Library.dll::$data";
    }
    void otherSpellingsOfADownloadedFileAreNotRemoved()
    {
        QFETCH(QString, spelling);
        QTemporaryDir dir;
        const QString file = dir.path() + "/domvista-core-library.dll";
        writeFile(file, "old");
        writeFile(dir.path() + "/obsolete.dll", "obsolete");
        if (spelling == "<short>") {
            wchar_t shortPath[MAX_PATH];
            const DWORD n = GetShortPathNameW(native(file).c_str(), shortPath, MAX_PATH);
            if (n == 0 || n >= MAX_PATH) QSKIP("this volume keeps no 8.3 short names");
            spelling = QFileInfo(QString::fromWCharArray(shortPath, int(n))).fileName();
            QVERIFY(spelling.contains('~'));
        }
        const QString xml = QString("<files><file url='http://h/a' dist='domvista-core-library.dll'/>"
                                    "<remove dist='%1'/><remove dist='obsolete.dll'/></files>").arg(spelling);
        readFileList(xml.toUtf8(), dir.path(), "me");
        QCOMPARE(readFile(file), QByteArray("old"));
        QVERIFY(!QFileInfo::exists(dir.path() + "/obsolete.dll"));
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
