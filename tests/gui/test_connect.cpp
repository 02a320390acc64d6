// The connection dialog on the offscreen platform, connecting to the stand-in through FreeTDS, with
// the remembered connections in a fresh settings folder for every test.
#include "SandboxProcess.h"
#include "uConnect.h"
#include "uNbCrypt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

QStringList Items(const QComboBox* box) {
    QStringList l;
    for (int i = 0; i < box->count(); ++i) l << box->itemText(i);
    return l;
}

// A loopback port that nothing listens on: bound once to learn a free number, then closed.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

class TestConnect : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> home_;

    QString ConfFile() const { return home_->filePath(QStringLiteral("config/Merivane/Tolvan.conf")); }
    QString ConfText() const {
        QFile f(ConfFile());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("(missing)");
    }
    // The file's value names, in the file's order.
    QStringList ConfNames() const {
        QStringList names;
        for (const QString& line : ConfText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            if (!line.startsWith(QLatin1Char('['))) names << line.section(QLatin1Char('='), 0, 0);
        return names;
    }
    QString ConfValue(const QString& name) const { return QSettings(ConfFile(), QSettings::IniFormat).value(name).toString(); }
    void UseDataFolder(const QString& sub) { qputenv("XDG_DATA_HOME", home_->filePath(sub).toUtf8()); }

    // What a successful connect writes, without the connect.
    static void Save(const TRecentConnections& list, bool remember) {
        TfConnect dlg;
        dlg.RecentConnections = list;
        dlg.cbRemember->setChecked(remember);
        dlg.SaveRecentConnections();
    }
    static void Show(TfConnect& dlg) {
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    }
    static void Fill(TfConnect& dlg, const QString& server, const QString& password, bool remember) {
        dlg.cbServer->setEditText(server);
        dlg.cbLogin->setEditText(QStringLiteral("sa"));
        dlg.ePassword->setText(password);
        dlg.cbRemember->setChecked(remember);
    }

private slots:
    void init() {
        home_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", home_->filePath(QStringLiteral("config")).toUtf8());
        qputenv("TOLVAN_SYSTEM_CONFIG_DIR", home_->filePath(QStringLiteral("etc")).toUtf8());
        UseDataFolder(QStringLiteral("data"));
    }
    void cleanup() { home_.reset(); }

    void connectionStringTemplates() {
        // The dialog builds its text through the access layer's one function.
        TDbConnectionParams integrated;
        integrated.Server = " srv ";
        integrated.IntegratedSecurity = true;
        QCOMPARE(OleDbConnectionString(integrated),
                 std::string(
                     "Provider=SQLOLEDB.1;Integrated Security=SSPI;Data Source= srv ;Initial Catalog=master;Persist Security Info=True;"));
        TDbConnectionParams sql;
        sql.Server = "h,1";
        sql.UserId = "sa";
        sql.Password = "x";
        QCOMPARE(
            OleDbConnectionString(sql),
            std::string("Provider=SQLOLEDB.1;User ID=sa;Password=x;Data Source=h,1;Initial Catalog=master;Persist Security Info=True;"));
    }

    void serverWithPort_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::newRow("host:port") << "db1:1433"
                                   << "db1,1433";
        QTest::newRow("blanks kept") << " db1:1 "
                                     << " db1,1 ";
        QTest::newRow("host,port") << "db1,1433"
                                   << "db1,1433";
        QTest::newRow("IPv6") << "fe80::1"
                              << "fe80::1";
        QTest::newRow("not a port") << "db1:abc"
                                    << "db1:abc";
        QTest::newRow("no host") << ":1433"
                                 << ":1433";
        QTest::newRow("instance") << "db1\\SQL"
                                  << "db1\\SQL";
    }
    void serverWithPort() {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QCOMPARE(QString::fromStdString(TfConnect::ServerWithPort(typed.toStdString())), sent);
    }

    void connectFailureTexts_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("ticket");
        QTest::addColumn<QString>("shown");
        const QString refused = QStringLiteral("Unable to connect to data source");
        const QString noAnswer = QStringLiteral(
            "Unable to connect to the server %1 on port %2: no server answered there. Check the server name and the port (host,port).");
        const QString kerberos = QStringLiteral("Adaptive Server connection failed");
        QTest::newRow("closed port") << refused << " db1 , 1434 "
                                     << "sa"
                                     << "pw" << true << noAnswer.arg(QStringLiteral("db1"), QStringLiteral("1434"));
        QTest::newRow("default port") << refused << "db1"
                                      << ""
                                      << "" << false << noAnswer.arg(QStringLiteral("db1"), QStringLiteral("1433"));
        QTest::newRow("instance and port") << refused << "db1\\SQL,5"
                                           << "sa"
                                           << "pw" << true << noAnswer.arg(QStringLiteral("db1"), QStringLiteral("5"));
        QTest::newRow("instance") << refused << "db1\\SQL"
                                  << "sa"
                                  << "pw" << true
                                  << "Unable to connect to the instance SQL on the server db1: no server answered. Check the name, or give "
                                     "the port as host,port.";
        QTest::newRow("blank login, no ticket")
            << kerberos << "db1"
            << ""
            << "pw" << false
            << "A blank login means Windows Authentication, which needs a Kerberos ticket, and there is none. "
               "Get one with kinit, or enter a login and password.";
        QTest::newRow("no password, no ticket")
            << kerberos << "db1"
            << "bob"
            << "" << false
            << "Without a password Windows Authentication is used, which needs a Kerberos ticket, and there is none. "
               "Enter the password for bob, or get a ticket with kinit.";
        QTest::newRow("ticket present") << kerberos << "db1"
                                        << ""
                                        << "" << true << kerberos;
        QTest::newRow("SQL login") << kerberos << "db1"
                                   << "sa"
                                   << "pw" << false << kerberos;
        QTest::newRow("server's own words") << "Login failed for user 'sa'."
                                            << "db1"
                                            << "sa"
                                            << "x" << false << "Login failed for user 'sa'.";
    }
    void connectFailureTexts() {
        QFETCH(QString, message);
        QFETCH(QString, server);
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(bool, ticket);
        QFETCH(QString, shown);
        QCOMPARE(QString::fromStdString(TfConnect::ConnectFailureText(message.toStdString(), server.toStdString(), login.toStdString(),
                                                                      password.toStdString(), ticket)),
                 shown);
    }

    void firstStartOffersTheDefault() {
        TfConnect dlg;
        Show(dlg);
        QVERIFY(QFile::exists(ConfFile()));  // the key is created
        QCOMPARE(Items(dlg.cbServer), QStringList{QStringLiteral("localhost")});
        QCOMPARE(Items(dlg.cbLogin), QStringList{QStringLiteral("sa")});
        QCOMPARE(dlg.cbLogin->currentText(), QStringLiteral("sa"));
        QVERIFY(!dlg.cbRemember->isChecked());
        QVERIFY(dlg.lNotice->isHidden());
    }

    void fillInsFromRecentConnections() {
        TRecentConnections list;
        list[0] = {"alpha", "bob", "pw1"};
        list[1] = {"beta", "", ""};
        list[2] = {"alpha", "carol", ""};  // one server, two logins
        Save(list, true);
        TfConnect dlg;
        Show(dlg);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Connect to Server"));
        QCOMPARE(Items(dlg.cbServer), (QStringList{QStringLiteral("alpha"), QStringLiteral("beta")}));
        QCOMPARE(Items(dlg.cbLogin), (QStringList{QStringLiteral("bob"), QStringLiteral("carol")}));
        QCOMPARE(dlg.RecentConnections[2].Login, std::string("carol"));
        QCOMPARE(dlg.cbServer->currentText(), QStringLiteral("alpha"));
        QCOMPARE(dlg.cbLogin->currentText(), QStringLiteral("bob"));
        QCOMPARE(dlg.ePassword->text(), QStringLiteral("pw1"));
        QVERIFY(dlg.cbRemember->isChecked());
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

    void savedValuesInTheFile() {
        TRecentConnections list;
        list[0] = {"s1", "", "secret"};
        list[1] = {"s2", "bob", ""};
        list[2] = {"s3", "sa", ""};
        Save(list, false);
        // Three servers, a blank login and an empty password leave no value behind.
        QCOMPARE(ConfNames(), (QStringList{QStringLiteral("Login1"), QStringLiteral("Login2"), QStringLiteral("Pwd0"),
                                           QStringLiteral("Server0"), QStringLiteral("Server1"), QStringLiteral("Server2")}));
        QVERIFY(ConfText().contains(QStringLiteral("\nServer0=s1\nServer1=s2\n")));
        QVERIFY(ConfValue(QStringLiteral("Pwd0")).startsWith(QStringLiteral("\x03\x04")));
        QVERIFY(!ConfText().contains(QStringLiteral("secret")));

        // A smaller list later removes the slots it no longer fills.
        list[1] = {};
        list[2] = {};
        Save(list, true);
        QCOMPARE(ConfNames(), (QStringList{QStringLiteral("Pwd0"), QStringLiteral("Remember"), QStringLiteral("Server0")}));
        QCOMPARE(ConfValue(QStringLiteral("Remember")), QStringLiteral("1"));
    }

    void unreadablePasswordsDoNotLockTheDialog() {
        TRecentConnections list;
        list[0] = {"theirs", "sa", "pw-other-key"};
        Save(list, true);
        UseDataFolder(QStringLiteral("other"));  // as if another user's key had protected it
        {
            QSettings conf(ConfFile(), QSettings::IniFormat);
            conf.setValue(QStringLiteral("Server1"), QStringLiteral("old"));
            conf.setValue(QStringLiteral("Login1"), QStringLiteral("sa"));
            conf.setValue(QStringLiteral("Pwd1"), QString::fromStdString(NbDollarHexEncode("pw-old")));  // written by someone else
        }
        const QString before = ConfText();
        TfConnect dlg;
        Show(dlg);
        QCOMPARE(Items(dlg.cbServer), (QStringList{QStringLiteral("theirs"), QStringLiteral("old")}));
        QCOMPARE(dlg.cbLogin->currentText(), QStringLiteral("sa"));
        QCOMPARE(dlg.ePassword->text(), QString());
        QVERIFY(dlg.lNotice->isVisible());
        QVERIFY2(dlg.lNotice->text().startsWith(
                     QStringLiteral("The remembered password for theirs could not be read and must be typed again (Error reading: ")),
                 qPrintable(dlg.lNotice->text()));
        QCOMPARE(dlg.RecentConnections[1].Password, std::string("pw-old"));
        QCOMPARE(ConfText(), before);  // showing changes nothing

        // The next save drops the unreadable value and protects the reversible one.
        dlg.SaveRecentConnections();
        QVERIFY(!ConfNames().contains(QStringLiteral("Pwd0")));
        QVERIFY(ConfValue(QStringLiteral("Pwd1")).startsWith(QStringLiteral("\x03\x04")));
        QCOMPARE(NbUnprotect(ConfValue(QStringLiteral("Pwd1")).toStdString()), std::string("pw-old"));
    }

    void damagedSettingsFileIsReportedNotReplaced() {
        const QByteArray damaged = "Server0=kept\nnot a setting\n";
        QDir().mkpath(QFileInfo(ConfFile()).path());
        QFile f(ConfFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(damaged);
        f.close();
        TfConnect dlg;
        Show(dlg);
        QCOMPARE(dlg.lNotice->text(), QStringLiteral("The settings file %1 cannot be read; it was left unchanged").arg(ConfFile()));
        QCOMPARE(dlg.cbServer->currentText(), QStringLiteral("localhost"));
        dlg.RecentConnections[0] = {"new", "sa", ""};
        QVERIFY_THROWS_EXCEPTION(std::exception, dlg.SaveRecentConnections());
        QCOMPARE(ConfText().toUtf8(), damaged);
    }

    // The driver's failures as the user reads them, and "host:port" accepted.
    void connectThroughTheDriver() {
        SandboxProcess server(false);
        const int closed = ClosedPort();
        qputenv("KRB5CCNAME", home_->filePath(QStringLiteral("no-ticket")).toUtf8());
        TDbConnection db;
        TfConnect dlg;
        dlg.Connection = &db;
        QStringList errors;
        dlg.ShowError = [&](const QString& m) { errors << m; };
        Show(dlg);
        Fill(dlg, QStringLiteral("127.0.0.1,%1").arg(closed), QStringLiteral("pw"), false);
        dlg.bConnect->click();
        Fill(dlg, QStringLiteral("127.0.0.1,%1").arg(server.Port()), QString(), false);
        dlg.cbLogin->setEditText(QString());
        dlg.bConnect->click();
        qunsetenv("KRB5CCNAME");
        QCOMPARE(errors, (QStringList{
                             QStringLiteral("Unable to connect to the server 127.0.0.1 on port %1: no server answered there. "
                                            "Check the server name and the port (host,port).")
                                 .arg(closed),
                             QStringLiteral("A blank login means Windows Authentication, which needs a Kerberos ticket, and there is none. "
                                            "Get one with kinit, or enter a login and password.")}));
        Fill(dlg, QStringLiteral("127.0.0.1:%1").arg(server.Port()), QString::fromLatin1(SandboxProcess::Password()), false);
        dlg.bConnect->click();
        QVERIFY(db.Connected());
        QCOMPARE(ConfValue(QStringLiteral("Server0")), QStringLiteral("127.0.0.1,%1").arg(server.Port()));
    }

    // Encryption from the dialog: the stand-in's self-signed certificate is refused until trusted;
    // both choices are remembered per connection and come back with the server.
    void encryptAndTrustRemembered() {
        SandboxProcess server(false);
        const QString host = QStringLiteral("127.0.0.1,%1").arg(server.Port());
        const QString password = QString::fromLatin1(SandboxProcess::Password());
        QStringList errors;
        {
            TDbConnection db;
            TfConnect dlg;
            dlg.Connection = &db;
            dlg.ShowError = [&](const QString& m) { errors << m; };
            Show(dlg);
            QVERIFY(!dlg.cbTrust->isEnabled());
            Fill(dlg, host, password, false);
            dlg.cbEncrypt->setChecked(true);
            QVERIFY(dlg.cbTrust->isEnabled());
            dlg.bConnect->click();
            QVERIFY(!db.Connected());
            QCOMPARE(errors, QStringList{QStringLiteral("The certificate of the server %1 could not be verified: self-signed certificate. "
                                                        "Trust the server certificate only if you know the server.")
                                             .arg(host)});
            QVERIFY(!ConfNames().contains(QStringLiteral("Server0")));
            dlg.cbTrust->setChecked(true);
            dlg.bConnect->click();
            QVERIFY(db.Connected());
            // A plain connection to another name of the same server, remembered beside it.
            db.Close();
            Fill(dlg, QStringLiteral("localhost,%1").arg(server.Port()), password, false);
            dlg.cbEncrypt->setChecked(false);
            QVERIFY(!dlg.cbTrust->isEnabled());
            dlg.bConnect->click();
            QVERIFY(db.Connected());
        }
        QCOMPARE(errors.size(), 1);
        QCOMPARE(ConfValue(QStringLiteral("Encrypt1")), QStringLiteral("1"));
        QCOMPARE(ConfValue(QStringLiteral("Trust1")), QStringLiteral("1"));
        QVERIFY(!ConfNames().contains(QStringLiteral("Encrypt0")));  // off is no value at all
        QVERIFY(!ConfNames().contains(QStringLiteral("Trust0")));
        TfConnect dlg;
        Show(dlg);
        QVERIFY(!dlg.cbEncrypt->isChecked());
        dlg.cbServer->setCurrentIndex(1);
        QCOMPARE(dlg.cbServer->currentText(), host);
        QVERIFY(dlg.cbEncrypt->isChecked());
        QVERIFY(dlg.cbTrust->isChecked());
        QVERIFY(dlg.cbTrust->isEnabled());
        QCOMPARE(dlg.RecentConnections[1].Encrypt, true);
        QCOMPARE(dlg.RecentConnections[0].TrustServerCertificate, false);
    }

    // Connect, "restart", and the password is filled in; then a second server without remembering.
    void connectRememberAndRestart() {
        SandboxProcess server(false);
        const QString first = QStringLiteral("127.0.0.1,%1").arg(server.Port());
        const QString second = QStringLiteral("localhost,%1").arg(server.Port());
        const QString password = QString::fromLatin1(SandboxProcess::Password());
        QStringList errors;
        {
            TDbConnection db;
            TfConnect dlg;
            dlg.Connection = &db;
            dlg.ShowError = [&](const QString& m) { errors << m; };
            Show(dlg);
            Fill(dlg, first, QStringLiteral("wrong"), true);
            dlg.bConnect->click();
            QCOMPARE(errors, QStringList{QStringLiteral("Login failed for user 'sa'.")});
            QVERIFY(dlg.isVisible());
            QVERIFY(!ConfNames().contains(QStringLiteral("Server0")));  // a failed connect writes nothing
            dlg.ePassword->setText(password);
            dlg.bConnect->click();
            QVERIFY(db.Connected());
            QCOMPARE(dlg.result(), static_cast<int>(QDialog::Accepted));
        }
        QCOMPARE(ConfValue(QStringLiteral("Server0")), first);
        QCOMPARE(ConfValue(QStringLiteral("Server1")), QStringLiteral("localhost"));  // the built-in default came along
        QVERIFY(ConfValue(QStringLiteral("Pwd0")).startsWith(QStringLiteral("\x03\x04")));
        QVERIFY(ConfText().contains(QStringLiteral("\nPwd0=\\x3\\x4")));
        QVERIFY(!ConfText().contains(password));
        QCOMPARE(QFile::permissions(home_->filePath(QStringLiteral("data/Merivane/protect.key"))),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        {
            TDbConnection db;
            TfConnect dlg;
            dlg.Connection = &db;
            dlg.ShowError = [&](const QString& m) { errors << m; };
            Show(dlg);
            QCOMPARE(dlg.cbServer->currentText(), first);
            QCOMPARE(dlg.cbLogin->currentText(), QStringLiteral("sa"));
            QCOMPARE(dlg.ePassword->text(), password);
            QVERIFY(dlg.cbRemember->isChecked());
            Fill(dlg, second, password, false);
            dlg.bConnect->click();
            QVERIFY(db.Connected());
        }
        QCOMPARE(errors.size(), 1);
        // Unchecked: no "Remember" and no "Pwd0", but the older entry keeps its password.
        QCOMPARE(ConfNames(),
                 (QStringList{QStringLiteral("Login0"), QStringLiteral("Login1"), QStringLiteral("Login2"), QStringLiteral("Pwd1"),
                              QStringLiteral("Server0"), QStringLiteral("Server1"), QStringLiteral("Server2")}));
        TfConnect dlg;
        Show(dlg);
        QCOMPARE(Items(dlg.cbServer), (QStringList{second, first, QStringLiteral("localhost")}));
        QCOMPARE(dlg.ePassword->text(), QString());
        QVERIFY(!dlg.cbRemember->isChecked());
        dlg.cbServer->setCurrentIndex(1);
        QCOMPARE(dlg.ePassword->text(), password);
    }
};

QTEST_MAIN(TestConnect)
#include "test_connect.moc"
