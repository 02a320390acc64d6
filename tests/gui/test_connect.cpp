// The connection dialog on the offscreen platform, connecting to the stand-in through FreeTDS.
#include "SandboxProcess.h"
#include "uConnect.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class TestConnect : public QObject {
    Q_OBJECT
private slots:
    void init() {
        TfConnect::RecentConnections() = TRecentConnections{};
        TfConnect::RecentConnections()[0] = {"localhost", "sa", ""};
    }

    void connectionStringTemplates() {
        QCOMPARE(TfConnect::BuildConnectionString("Integrated Security=SSPI;", " srv "),
                 std::string("Provider=SQLOLEDB.1;Integrated Security=SSPI;Data Source= srv ;Initial Catalog=master;Persist Security Info=True;"));
        QCOMPARE(TfConnect::BuildConnectionString("User ID=sa;Password=x;", "h,1"),
                 std::string("Provider=SQLOLEDB.1;User ID=sa;Password=x;Data Source=h,1;Initial Catalog=master;Persist Security Info=True;"));
    }

    void fillInsFromRecentConnections() {
        auto& list = TfConnect::RecentConnections();
        list[0] = {"alpha", "bob", "pw1"};
        list[1] = {"beta", "", ""};
        TfConnect dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Connect to Server"));
        QCOMPARE(dlg.cbServer->count(), 2);
        QCOMPARE(dlg.cbServer->currentText(), QStringLiteral("alpha"));
        QCOMPARE(dlg.cbLogin->currentText(), QStringLiteral("bob"));
        QCOMPARE(dlg.ePassword->text(), QStringLiteral("pw1"));
        dlg.cbServer->setEditText(QStringLiteral("beta"));
        QCOMPARE(dlg.cbLogin->currentText(), QString());
        // Typing in the login box: an empty login disables the password, a known one fills it.
        dlg.cbLogin->setFocus();
        QApplication::processEvents();
        QTRY_VERIFY(dlg.cbLogin->hasFocus() || dlg.cbLogin->lineEdit()->hasFocus());
        dlg.cbLogin->setEditText(QStringLiteral("bob"));
        QVERIFY(dlg.ePassword->isEnabled());
        QCOMPARE(dlg.ePassword->text(), QStringLiteral("pw1"));
        dlg.cbLogin->setEditText(QString());
        QVERIFY(!dlg.ePassword->isEnabled());
        QCOMPARE(dlg.ePassword->text(), QStringLiteral("pw1"));  // the password is not cleared
    }

    void connectWrongThenRight() {
        SandboxProcess server(false);
        TDbConnection db;
        TfConnect dlg;
        dlg.Connection = &db;
        QStringList errors;
        dlg.ShowError = [&](const QString& m) { errors << m; };
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.cbServer->setEditText(QStringLiteral("127.0.0.1,%1").arg(server.Port()));
        dlg.cbLogin->setEditText(QStringLiteral("sa"));
        dlg.ePassword->setText(QStringLiteral("wrong"));
        dlg.bConnect->click();
        QCOMPARE(errors, QStringList{QStringLiteral("Login failed for user 'sa'.")});
        QVERIFY(dlg.isVisible());
        QVERIFY(!db.Connected());
        QCOMPARE(TfConnect::RecentConnections()[0].Server, std::string("localhost"));

        dlg.ePassword->setText(QString::fromLatin1(SandboxProcess::Password()));
        dlg.bConnect->click();
        QVERIFY(db.Connected());
        QCOMPARE(dlg.result(), static_cast<int>(QDialog::Accepted));
        const auto& first = TfConnect::RecentConnections()[0];
        QCOMPARE(first.Server, "127.0.0.1," + std::to_string(server.Port()));
        QCOMPARE(first.Login, std::string("sa"));
        QCOMPARE(first.Password, std::string());  // not remembered unless asked
        QCOMPARE(TfConnect::RecentConnections()[1].Server, std::string("localhost"));
    }
};

QTEST_MAIN(TestConnect)
#include "test_connect.moc"
