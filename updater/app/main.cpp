#include "app/updateapplication.h"

#include <QNetworkProxyFactory>
#include <QTranslator>

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(updater);
    UpdateApplication app(argc, argv);
    // Some networks reach the update server only through a proxy: follow the system's setting,
    // whatever default the Qt build was configured with.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    QTranslator translator;
    translator.load(QStringLiteral(":/zh_cn.qm"), QString(), QString(), QString());
    QCoreApplication::installTranslator(&translator);
    if (app.isFirstInstance()) return app.exec();
    return 0;
}
