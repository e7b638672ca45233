// The signed file list, built twice: keyed (EXPECT_KEY, the test key pair made by the build) and
// keyless. A keyed build uses only a response whose Domvista-Signature signs its version and
// body; a keyless one ignores the header and behaves as before.
#include "list/listsignature.h"
#include "app/update.h"

#include "support/files.h"
#include "support/testserver.h"

#include <QProcess>
#include <QtTest>

using namespace testfiles;

namespace {
// Signs `message` with the private key in `keyFile` through the openssl command; base64.
QByteArray sign(const QByteArray& message, const QString& keyFile)
{
    QTemporaryFile in;
    in.open();
    in.write(message);
    in.flush();
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), {QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-rawin"),
                                              QStringLiteral("-inkey"), keyFile, QStringLiteral("-in"), in.fileName()});
    openssl.waitForFinished(30000);
    const QByteArray signature = openssl.readAllStandardOutput();
    return signature.size() == 64 ? signature.toBase64() : QByteArray("openssl failed");
}
}  // namespace

class TestListSignature : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir otherKeyDir;
    QString otherKey;

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(updater);
        QGuiApplication::setQuitOnLastWindowClosed(false);
        otherKey = otherKeyDir.path() + "/other.pem";
        QCOMPARE(QProcess::execute("openssl", {"genpkey", "-algorithm", "ed25519", "-out", otherKey}), 0);
    }

    void buildVariant()
    {
#ifdef EXPECT_KEY
        QVERIFY(listSignatureRequired());
#else
        QVERIFY(!listSignatureRequired());
#endif
    }

    void onlyAValidSignatureLetsTheUpdateRun_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<bool>("updatesWithKey");
        QTest::newRow("valid") << "valid" << true;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("other key") << "other key" << false;
        QTest::newRow("body changed") << "body changed" << false;
        QTest::newRow("version changed") << "version changed" << false;
        QTest::newRow("not base64") << "not base64" << false;
        QTest::newRow("old list replayed") << "old list" << false;
    }
    void onlyAValidSignatureLetsTheUpdateRun()
    {
        QFETCH(QString, signature);
        QFETCH(bool, updatesWithKey);
        QTemporaryDir dir;
        TestServer server;
        const QString base = dir.path();
        writeFile(base + "/a.dll", "old a");
        writeFile(base + "/gone.dll", "keep me");
        writeFile(base + "/Application/Config/config.ini",
                  ("[%General]\nupdate=" + server.url("/check") + "\nversion=1.5\n").c_str());
        server.route("/f/a", TestServer::ok("new a"));
        // A signed list names the bytes too: a keyed build refuses a file without sha256 and size.
        const std::string list = "<files><file url='" + server.url("/f/a") + "' dist='a.dll' size='5' sha256='" +
                                 sha256Hex("new a").toStdString() + "'/><remove dist='gone.dll'/></files>";
        QByteArray version = "2.0";
        QByteArray body = QByteArray::fromStdString(list);
        QByteArray header = sign(signedListMessage(version, body), TEST_SIGNING_KEY);
        if (signature == "other key") header = sign(signedListMessage(version, body), otherKey);
        if (signature == "body changed") body.replace("a.dll", "b.dll");
        if (signature == "version changed") version = "9.0";
        if (signature == "not base64") header = "***";
        if (signature == "old list") {  // a genuine list of an older release, replayed
            version = "1.4";
            header = sign(signedListMessage(version, body), TEST_SIGNING_KEY);
        }
        TestServer::Response r = TestServer::ok(body.toStdString());
        r.headers.push_back({"Domvista-Version", version.toStdString()});
        if (signature != "missing") r.headers.push_back({"Domvista-Signature", header.toStdString()});
        server.route("/check", r);

        QPointer<Update> update = new Update;
        update->setBaseFolderForTesting(base);
        update->setApplicationExecutableForTesting("no-such-application-5d1.exe");
        update->setExitWhenDoneForTesting(false);
        update->setNoticeHoldMsForTesting(0);
        update->startUpdate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

#ifdef EXPECT_KEY
        const bool updates = updatesWithKey;
#else
        Q_UNUSED(updatesWithKey);
        const bool updates = signature != "old list";  // the signature header means nothing here
#endif
        QCOMPARE(update.isNull(), updates);  // the dialog was shown and closed only for an update
        const bool changed = readFile(base + "/a.dll") != "old a" || readFile(base + "/b.dll") != "<missing>";
        QCOMPARE(changed, updates);
        QCOMPARE(readFile(base + "/gone.dll") == "keep me", !updates);
        QCOMPARE(server.requests().size(), size_t(updates ? 2 : 1));
#ifdef EXPECT_KEY
        const QByteArray log = readFile(base + "/desktop-updater.log");
        QCOMPARE(log.contains("update check refused"), !updates && signature != "old list");
#endif
        delete update.data();
    }
};

QTEST_MAIN(TestListSignature)
#include "test_listsignature.moc"
