// Saves a PNG of the update dialog, drawn from a real update against a local test server.
//   updater-screenshot OUT.png            the second of three files half downloaded
//   updater-screenshot OUT.png --refused  the notice after an update that skipped entries
#include "download/transferguard.h"
#include "app/update.h"
#include "ui_uiupdatedialog.h"

#include "support/testserver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstring>

namespace {
void grab(Update* update, const QString& out)
{
    QPixmap shot = update->screen()->grabWindow(update->winId());
    if (shot.isNull() || shot.width() < 10) shot = update->grab();
    const bool saved = shot.save(out, "PNG");
    std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "NOT saved", qPrintable(out));
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png [--refused]\n", argv[0]);
        return 2;
    }
    Q_INIT_RESOURCE(updater);
    QApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const bool refused = argc > 2 && std::strcmp(argv[2], "--refused") == 0;

    TestServer server;
    const std::string big(400000, 'x');
    TestServer::Response check = TestServer::ok(refused
        ? "<files><file url='" + server.url("/one.dll") + "' dist='one.dll'/>"
          "<file url='file:///C:/Users/Public/secret.txt' dist='secret.txt'/>"
          "<file url='" + server.url("/one.dll") + "' dist='../outside.dll'/></files>"
        : "<files><file url='" + server.url("/one.dll") + "' dist='one.dll'/>"
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
    QPointer<Update> update = new Update;
    update->setBaseFolderForTesting(base.path());
    update->setApplicationExecutableForTesting(QStringLiteral("no-application-for-the-screenshot"));
    QTranslator translator;
    translator.load(QStringLiteral(":/zh_cn.qm"));
    QCoreApplication::installTranslator(&translator);

    bool taken = false;
    if (refused) {
        QTimer* poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, [&]() {
            if (taken || !update || !update->ui()->label_3->toolTip().contains(QLatin1String("secret.txt"))) return;
            taken = true;
            QTimer::singleShot(500, [&]() { grab(update, out); });
        });
        poll->start(20);
    } else {
        QObject::connect(update->ui()->curProgressBar, &QProgressBar::valueChanged, [&](int value) {
            if (taken || !update || value <= 0 || update->ui()->totalProgressBar->value() != 2) return;
            taken = true;
            QTimer::singleShot(500, [&]() { grab(update, out); });
        });
    }
    const int rc = app.exec();
    return taken && QFile::exists(out) ? rc : 1;
}
