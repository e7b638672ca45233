// Version ordering: numbers compare as numbers, part by part.
#include "list/versioncompare.h"

#include <QtTest>

class TestVersionCompare : public QObject
{
    Q_OBJECT
private slots:
    void ordering_data()
    {
        QTest::addColumn<QString>("lower");
        QTest::addColumn<QString>("higher");
        QTest::newRow("1.9 < 1.10") << "1.9" << "1.10";
        QTest::newRow("2 < 10") << "2" << "10";
        QTest::newRow("1.2 < 1.2.1") << "1.2" << "1.2.1";
        QTest::newRow("long numbers") << "1.99999999999999999998" << "1.99999999999999999999";
        QTest::newRow("more digits") << "9999999999" << "10000000000";
        QTest::newRow("empty < any") << "" << "0.1";
        QTest::newRow("blank < any") << "  " << "0";
        QTest::newRow("pre-release < release") << "1.2rc1" << "1.2";
        QTest::newRow("suffixes as text") << "1.2a" << "1.2b";
        QTest::newRow("number before suffix") << "1.9b" << "1.10a";
        QTest::newRow("word part < number part") << "1.beta" << "1.0";
        QTest::newRow("third part decides") << "3.0.9" << "3.0.10";
    }
    void ordering()
    {
        QFETCH(QString, lower);
        QFETCH(QString, higher);
        QVERIFY(compareVersions(lower, higher) < 0);
        QVERIFY(compareVersions(higher, lower) > 0);
        QVERIFY(isNewerVersion(higher, lower));
        QVERIFY(!isNewerVersion(lower, higher));
    }

    void equal_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::newRow("same") << "1.10" << "1.10";
        QTest::newRow("leading zeros") << "1.01" << "1.1";
        QTest::newRow("missing parts are 0") << "1.2" << "1.2.0.0";
        QTest::newRow("blanks around") << " 2.3 " << "2.3";
        QTest::newRow("both empty") << "" << "";
        QTest::newRow("same suffix") << "1.2rc1" << "1.2rc1";
    }
    void equal()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QCOMPARE(compareVersions(a, b), 0);
        QCOMPARE(compareVersions(b, a), 0);
        QVERIFY(!isNewerVersion(a, b));
    }
};

QTEST_APPLESS_MAIN(TestVersionCompare)
#include "test_versioncompare.moc"
