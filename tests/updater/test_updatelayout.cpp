// The dialog's layout and the embedded translation catalogue.
#include "app/update.h"
#include "ui_uiupdatedialog.h"

#include <QtTest>

class TestUpdateLayout : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Q_INIT_RESOURCE(updater); }

    void layoutHasTheWidgetsNamesAndGeometry()
    {
        QPointer<Update> update = new Update;
        Ui::UiUpdateDialog* ui = update->ui();
        QVERIFY(ui != nullptr);
        QCOMPARE(update->objectName(), QString("UiUpdateDialog"));
        QCOMPARE(update->size(), QSize(494, 185));
        QVERIFY(update->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(!update->isVisible());
        QVERIFY(!update->windowIcon().isNull());
        QCOMPARE(update->windowIcon().availableSizes().value(0), QSize(32, 32));

        const struct { QWidget* w; const char* name; QRect geometry; } expected[] = {
            {ui->totalProgressBar, "totalProgressBar", QRect(130, 40, 291, 23)},
            {ui->curProgressBar, "curProgressBar", QRect(130, 110, 291, 23)},
            {ui->label, "label", QRect(30, 40, 61, 16)},
            {ui->label_2, "label_2", QRect(30, 120, 54, 16)},
            {ui->label_3, "label_3", QRect(140, 80, 201, 20)},
            {ui->label_4, "label_4", QRect(130, 20, 241, 20)},
        };
        for (const auto& e : expected) {
            QCOMPARE(e.w->objectName(), QString(e.name));
            QCOMPARE(e.w->geometry(), e.geometry);
            QCOMPARE(e.w->parentWidget(), static_cast<QWidget*>(update.data()));
        }
        QCOMPARE(update->findChildren<QProgressBar*>().size(), 2);
        QCOMPARE(update->findChildren<QLabel*>().size(), 4);

        // Source texts, both bars at 0 of 100 and empty lower labels before anything starts.
        QCOMPARE(update->windowTitle(), QString::fromUtf8("Domvista更新"));
        QCOMPARE(ui->label->text(), QString::fromUtf8("总体进度"));
        QCOMPARE(ui->label_2->text(), QString::fromUtf8("当前进度"));
        QCOMPARE(ui->label_3->text(), QString());
        QCOMPARE(ui->label_4->text(), QString());
        for (QProgressBar* bar : {ui->totalProgressBar, ui->curProgressBar}) {
            QCOMPARE(bar->value(), 0);
            QCOMPARE(bar->minimum(), 0);
            QCOMPARE(bar->maximum(), 100);
            QVERIFY(bar->isTextVisible());
        }

        delete update.data();
    }

    void catalogueHoldsTheFiveMessages()
    {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/zh_cn.qm"), QString(), QString(), QString()));
        QCOMPARE(translator.translate("Downloader", "open file error!"), QString::fromUtf8("文件打开失败!"));
        QCOMPARE(translator.translate("UiUpdateDialog", "当前进度"), QString::fromUtf8("当前进度"));
        QCOMPARE(translator.translate("UiUpdateDialog", "总体进度"), QString::fromUtf8("总体进度"));
        QCOMPARE(translator.translate("UiUpdateDialog", "Domvista更新"), QString::fromUtf8("Domvista更新"));
        QCOMPARE(translator.translate("Update", "there are  %1 files, current  is the %2th file"),
                 QString::fromUtf8("总共%1个文件，当前为第%2个文件"));
        // The two blanks are part of the key.
        QCOMPARE(translator.translate("Update", "there are %1 files, current is the %2th file"), QString());
    }

    void textsBuiltBeforeTheTranslatorStayInTheSource()
    {
        QPointer<Update> update = new Update;
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/zh_cn.qm")));
        QCoreApplication::installTranslator(&translator);
        QCOMPARE(update->ui()->label->text(), QString::fromUtf8("总体进度"));
        QCOMPARE(QCoreApplication::translate("Update", "there are  %1 files, current  is the %2th file").arg(5).arg(3),
                 QString::fromUtf8("总共5个文件，当前为第3个文件"));
        QCoreApplication::removeTranslator(&translator);
        delete update.data();
    }

    void ownFileNameIsTheApplicationName()
    {
#ifdef Q_OS_WIN
        QCOMPARE(Update::ownFileName(), QCoreApplication::applicationName() + ".exe");
#else
        QCOMPARE(Update::ownFileName(), QCoreApplication::applicationName());
#endif
        QCOMPARE(QCoreApplication::applicationName(), QString("test_updatelayout"));
    }
};

QTEST_MAIN(TestUpdateLayout)
#include "test_updatelayout.moc"
