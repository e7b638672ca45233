#include "updateapplication.h"

#include <QTranslator>

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(updater);
    UpdateApplication app(argc, argv);
    QTranslator translator;
    translator.load(QStringLiteral(":/zh_cn.qm"), QString(), QString(), QString());
    QCoreApplication::installTranslator(&translator);
    if (app.isFirstInstance()) return app.exec();
    return 0;
}
