// The path policy that the file list and the commit both ask: how names compare, which removal
// takes a path away, and whether a file stands on the way to a target.
#include "pathpolicy.h"

#include "support/files.h"

#include <QtTest>

using namespace testfiles;

class TestPathPolicy : public QObject
{
    Q_OBJECT
private slots:
    // Each row: the path, the removals (',' between them), and which removal takes the path
    // away (its index) with the part of the way it names, or -1.
    void removalHolding_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("removals");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("at");
        QTest::newRow("the path itself") << "plugins/a.dll" << "x,plugins/a.dll" << 1 << "plugins/a.dll";
        QTest::newRow("a folder on its way") << "plugins/gl/a.dll" << "plugins" << 0 << "plugins";
        QTest::newRow("the deepest removal first") << "plugins/gl/a.dll" << "plugins,plugins/gl" << 1 << "plugins/gl";
        QTest::newRow("a name that only starts alike") << "pluginsX/a.dll" << "plugins" << -1 << "";
        QTest::newRow("none") << "a.dll" << "" << -1 << "";
#ifdef Q_OS_WIN
        QTest::newRow("another letter case") << "plugins/a.dll" << "PlugIns" << 0 << "plugins";
#else
        QTest::newRow("another letter case is another folder") << "plugins/a.dll" << "PlugIns" << -1 << "";
#endif
    }
    void removalHolding()
    {
        QFETCH(QString, path);
        QFETCH(QString, removals);
        QFETCH(int, index);
        QFETCH(QString, at);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/plugins/gl/a.dll", "a");
        writeFile(base + "/plugins/a.dll", "a");
        QStringList absolute;
        for (const QString& r : removals.split(',', Qt::SkipEmptyParts)) absolute << base + "/" + r;
        const pathpolicy::Removals::Hold hold = pathpolicy::Removals(base, absolute).holding(base + "/" + path);
        QCOMPARE(hold.index, index);
        QCOMPARE(hold.at, at.isEmpty() ? QString() : base + "/" + at);
    }

    void aFileOnTheWay_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("removals");
        QTest::addColumn<QString>("inTheWay");
        QTest::newRow("free") << "sub/new/x.dll" << "" << "";
        QTest::newRow("below a file") << "afile.txt/inner.bin" << "" << "afile.txt";
        QTest::newRow("deeper below a file") << "afile.txt/a/b" << "" << "afile.txt";
        QTest::newRow("below a file the release removes") << "afile.txt/inner.bin" << "afile.txt" << "";
        QTest::newRow("below a file inside a removed folder") << "sub/f/x" << "sub" << "";
        QTest::newRow("the target itself is a file") << "afile.txt" << "" << "";
    }
    void aFileOnTheWay()
    {
        QFETCH(QString, target);
        QFETCH(QString, removals);
        QFETCH(QString, inTheWay);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/afile.txt", "a file");
        writeFile(base + "/sub/f", "f");
        QStringList absolute;
        for (const QString& r : removals.split(',', Qt::SkipEmptyParts)) absolute << base + "/" + r;
        QCOMPARE(pathpolicy::fileInTheWay(base, base + "/" + target, pathpolicy::Removals(base, absolute)),
                 inTheWay.isEmpty() ? QString() : base + "/" + inTheWay);
    }
};

QTEST_GUILESS_MAIN(TestPathPolicy)
#include "test_pathpolicy.moc"
