// Saves a PNG of the update dialog in the middle of an update: the second of three files is
// half downloaded from a local test server. Usage: updater-screenshot OUT.png
#include "transferguard.h"
#include "support/testserver.h"
#include "update.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    Q_INIT_RESOURCE(updater);
    QApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);

    TestServer server;
    const std::string big(400000, 'x');
    TestServer::Response check = TestServer::ok(
        "<files><file url='" + server.url("/one.dll") + "' dist='one.dll'/>"
        "<file url='" + server.url("/Domvista.Core.dll") + "' dist='Domvista.Core.dll'/>"
        "<file url='" + server.url("/three.dat") + "' dist='three.dat'/></files>");
    check.headers.push_back({"Domvista-Version", "2.0"});
    server.route("/check", check);
    server.route("/one.dll", TestServer::ok("1"));
    TestServer::Response half = TestServer::ok(big);
    half.mode = TestServer::Mode::StallBody;
    half.dropAfter = big.size() * 57 / 100;
    half.chunkDelayMs = 40;
    server.route("/Domvista.Core.dll", half);
    server.route("/three.dat", TestServer::ok("3"));

    QTemporaryDir base;
    QDir().mkpath(base.path() + "/Application/Config");
    QFile ini(base.path() + "/Application/Config/config.ini");
    ini.open(QIODevice::WriteOnly);
    ini.write(("[%General]\nupdate=" + server.url("/check") + "\nversion=1.0\n").c_str());
    ini.close();

    TransferGuard::setStallTimeoutMsForTesting(3000);  // let the stalled file give up soon after the picture
    Update* update = new Update;
    update->setBaseFolderForTesting(base.path());
    update->setApplicationExecutableForTesting(QStringLiteral("no-application-for-the-screenshot"));
    QTranslator translator;
    translator.load(QStringLiteral(":/zh_cn.qm"));
    QCoreApplication::installTranslator(&translator);

    bool taken = false;
    QObject::connect(g_updateLayout->curProgressBar, &QProgressBar::valueChanged, [&](int value) {
        if (taken || value <= 0 || g_updateLayout->totalProgressBar->value() != 2) return;
        taken = true;
        QTimer::singleShot(500, [&]() {
            QPixmap shot = update->screen()->grabWindow(update->winId());
            if (shot.isNull() || shot.width() < 10) shot = update->grab();
            const bool saved = shot.save(out, "PNG");
            std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "NOT saved", qPrintable(out));
        });
    });
    const int rc = app.exec();
    return taken && QFile::exists(out) ? rc : 1;
}
