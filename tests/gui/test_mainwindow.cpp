#include "uTolvanMain.h"

#include <QApplication>
#include <QScreen>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void opensWithCaptionSizeAndCentre() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QStringLiteral("Tolvan - Merivane SQL Editor"));
        QCOMPARE(w.minimumSize(), QSize(790, 400));
        QCOMPARE(w.size(), QSize(912, 581));
        const QPoint screenCentre = w.screen()->availableGeometry().center();
        QVERIFY2((w.frameGeometry().center() - screenCentre).manhattanLength() <= 2, "window is not centred");
        w.resize(100, 100);
        QCOMPARE(w.size(), QSize(790, 400));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
