#include "uConnect.h"

#include "uNbCrypt.h"
#include "uNbFormat.h"
#include "uNbRegistry.h"
#include "uNbText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <tuple>

namespace {

std::string Std(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TfConnect::TfConnect(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("fConnect"));
    setWindowTitle(QStringLiteral("Connect to Server"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    auto* grid = new QGridLayout(this);
    auto* lServer = new QLabel(QStringLiteral("Server:"), this);
    cbServer = new QComboBox(this);
    cbServer->setObjectName(QStringLiteral("cbServer"));
    cbServer->setEditable(true);
    cbServer->setMaxVisibleItems(20);
    cbServer->setEditText(QStringLiteral("localhost"));
    cbServer->setToolTip(
        QStringLiteral("The hostname, IP address, or Active Directory name of the database to connect to\n"
                       "A port is given as host,port (host:port works too)"));
    auto* lLogin = new QLabel(QStringLiteral("Login:"), this);
    cbLogin = new QComboBox(this);
    cbLogin->setObjectName(QStringLiteral("cbLogin"));
    cbLogin->setEditable(true);
    cbLogin->setMaxVisibleItems(20);
    cbLogin->setEditText(QStringLiteral("sa"));
    cbLogin->setToolTip(QStringLiteral("The username to use when connecting to the server"));
    auto* star = new QLabel(QStringLiteral("*"), this);
    QPalette red = star->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    star->setPalette(red);
    auto* note = new QLabel(QStringLiteral("For Windows Authentication,\nuse a blank login name."), this);
    QPalette grey = note->palette();
    grey.setColor(QPalette::WindowText, Qt::gray);
    note->setPalette(grey);
    lPassword = new QLabel(QStringLiteral("Password:"), this);
    ePassword = new QLineEdit(this);
    ePassword->setObjectName(QStringLiteral("ePassword"));
    ePassword->setEchoMode(QLineEdit::Password);
    ePassword->setToolTip(QStringLiteral("The password to use when connecting to the server"));
    cbRemember = new QCheckBox(QStringLiteral("Remember password"), this);
    cbRemember->setToolTip(QStringLiteral("Remember this server name / username / password for next time?"));
    cbEncrypt = new QCheckBox(QStringLiteral("Encrypt connection"), this);
    cbEncrypt->setObjectName(QStringLiteral("cbEncrypt"));
    cbEncrypt->setToolTip(QStringLiteral("Encrypt everything sent to and from the server (TLS); needed by servers that force encryption"));
    cbTrust = new QCheckBox(QStringLiteral("Trust server certificate"), this);
    cbTrust->setObjectName(QStringLiteral("cbTrust"));
    cbTrust->setToolTip(
        QStringLiteral("Accept the server's certificate without checking it, such as a test server's self-signed one.\n"
                       "Only for a server you know: the connection is encrypted but the server is not verified"));
    cbTrust->setEnabled(false);
    lNotice = new QLabel(this);
    lNotice->setObjectName(QStringLiteral("lNotice"));
    lNotice->setWordWrap(true);
    lNotice->hide();
    bConnect = new QPushButton(QStringLiteral("C&onnect"), this);
    bConnect->setDefault(true);
    bCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    grid->addWidget(lServer, 0, 0);
    grid->addWidget(cbServer, 0, 1);
    grid->addWidget(lLogin, 1, 0);
    grid->addWidget(cbLogin, 1, 1);
    grid->addWidget(star, 1, 2);
    grid->addWidget(note, 2, 1);
    grid->addWidget(lPassword, 3, 0);
    grid->addWidget(ePassword, 3, 1);
    grid->addWidget(cbRemember, 4, 1);
    grid->addWidget(cbEncrypt, 5, 1);
    grid->addWidget(cbTrust, 6, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bConnect);
    buttons->addWidget(bCancel);
    grid->addWidget(lNotice, 7, 0, 1, 3);
    grid->addLayout(buttons, 8, 0, 1, 3);
    setTabOrder(cbServer, cbLogin);
    setTabOrder(cbLogin, ePassword);
    setTabOrder(ePassword, cbRemember);
    setTabOrder(cbRemember, cbEncrypt);
    setTabOrder(cbEncrypt, cbTrust);
    setTabOrder(cbTrust, bConnect);
    setTabOrder(bConnect, bCancel);
    layout()->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

    connect(cbServer, &QComboBox::editTextChanged, this, [this] { cbServerChange(); });
    cbLogin->installEventFilter(this);
    if (cbLogin->lineEdit()) cbLogin->lineEdit()->installEventFilter(this);
    connect(cbEncrypt, &QCheckBox::toggled, cbTrust, &QWidget::setEnabled);
    connect(bConnect, &QPushButton::clicked, this, [this] { bConnectClick(); });
    connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
    ShowError = [this](const QString& message) { QMessageBox::critical(this, windowTitle(), message); };
}

void TfConnect::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
    FormShow();
}

void TfConnect::FormShow() {
    LoadRecentConnections();
    cbServer->setFocus();
    if (cbServer->count() > 0) {
        cbServer->setCurrentIndex(0);
        cbServerChange();
    }
}

std::string TfConnect::ReadIndexedValue(const TNbRegistry& reg, const char* name, int i) {
    return reg.ReadString(NbFormat("%s%d", name, i));
}

void TfConnect::WriteIndexedValue(TNbRegistry& reg, const char* name, int i, const std::string& text) {
    const std::string value = NbFormat("%s%d", name, i);
    if (text.empty())
        reg.DeleteValue(value);
    else
        reg.WriteString(value, text);
}

void TfConnect::ShowNotice(const QString& text) {
    lNotice->setText(text);
    lNotice->setVisible(!text.isEmpty());
}

void TfConnect::LoadRecentConnections() {
    // Nothing read from the settings keeps the dialog from opening: what cannot be read is named
    // under the fields, and the rest is offered.
    ShowNotice(QString());
    TNbRegistry reg;
    try {
        if (!reg.OpenKey(RegistryKey, true)) return;
    } catch (const std::exception& e) {
        ShowNotice(QString::fromStdString(e.what()));
        return;
    }
    cbServer->clear();
    cbLogin->clear();
    cbServer->setEditText(QString());
    cbLogin->setEditText(QString());
    RecentConnections = {};
    QStringList unreadable, notices;
    QString reason;
    try {
        for (int i = 0; i < static_cast<int>(RecentConnections.size()); ++i) {
            TConnectInfo& e = RecentConnections[static_cast<size_t>(i)];
            e.Server = ReadIndexedValue(reg, "Server", i);
            e.Login = ReadIndexedValue(reg, "Login", i);
            e.Encrypt = ReadIndexedValue(reg, "Encrypt", i) == "1";
            e.TrustServerCertificate = ReadIndexedValue(reg, "Trust", i) == "1";
            const std::string stored = ReadIndexedValue(reg, "Pwd", i);
            if (e.Server.empty()) {
                e = i == 0 ? TConnectInfo{"localhost", "sa", "", false, false} : TConnectInfo{};
                break;
            }
            try {
                e.Password = NbUnprotect(stored);
            } catch (const std::exception& x) {
                // Another user's key or a damaged value: typed again, and replaced at the next connect.
                unreadable << Q(e.Server);
                if (reason.isEmpty()) reason = QString::fromStdString(x.what());
            }
        }
        if (!NbTrim(reg.ReadString("Remember")).empty()) cbRemember->setChecked(true);
    } catch (const std::exception& e) {
        notices << QString::fromStdString(e.what());
    }
    reg.CloseKey();
    if (!unreadable.isEmpty())
        notices.prepend(QStringLiteral("The remembered password for %1 could not be read and must be typed again (%2).")
                            .arg(unreadable.join(QStringLiteral(", ")), reason));
    ShowNotice(notices.join(QLatin1Char('\n')));
    for (const auto& e : RecentConnections) {
        if (e.Server.empty()) break;
        if (cbServer->findText(Q(e.Server), Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) cbServer->addItem(Q(e.Server));
        if (!e.Login.empty() && cbLogin->findText(Q(e.Login), Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) cbLogin->addItem(Q(e.Login));
    }
}

void TfConnect::SaveRecentConnections() {
    // Every password is protected before anything is written, so a failure leaves the stored list as it was.
    std::array<std::string, std::tuple_size_v<TRecentConnections>> protectedPasswords;
    for (size_t i = 0; i < RecentConnections.size(); ++i)
        if (!RecentConnections[i].Server.empty()) protectedPasswords[i] = NbProtect(RecentConnections[i].Password);
    TNbRegistry reg;
    if (!reg.OpenKey(RegistryKey, true)) return;
    for (int i = 0; i < static_cast<int>(RecentConnections.size()); ++i) {
        const TConnectInfo& e = RecentConnections[static_cast<size_t>(i)];
        if (!e.Server.empty()) {
            WriteIndexedValue(reg, "Server", i, e.Server);
            WriteIndexedValue(reg, "Login", i, e.Login);
            WriteIndexedValue(reg, "Pwd", i, protectedPasswords[static_cast<size_t>(i)]);
            WriteIndexedValue(reg, "Encrypt", i, e.Encrypt ? "1" : "");
            WriteIndexedValue(reg, "Trust", i, e.TrustServerCertificate ? "1" : "");
        } else {
            for (const char* name : {"Server", "Login", "Pwd", "Encrypt", "Trust"}) WriteIndexedValue(reg, name, i, std::string());
        }
    }
    if (cbRemember->isChecked())
        reg.WriteString("Remember", "1");
    else
        reg.DeleteValue("Remember");
}

void TfConnect::cbServerChange() {
    const std::string server = Std(cbServer->currentText());
    for (const auto& e : RecentConnections) {
        if (e.Server != server) continue;
        cbLogin->setEditText(Q(e.Login));
        ePassword->setText(Q(e.Password));
        cbEncrypt->setChecked(e.Encrypt);
        cbTrust->setChecked(e.TrustServerCertificate);
        return;
    }
}

bool TfConnect::eventFilter(QObject* watched, QEvent* event) {
    const bool loginBox = watched == cbLogin || (cbLogin && watched == cbLogin->lineEdit());
    if (loginBox && event->type() == QEvent::FocusIn && !loginChange_) {
        // The login's change handler is attached only while the box has the focus.
        loginChange_ = connect(cbLogin, &QComboBox::editTextChanged, this, [this] { cbLoginChange(); });
    } else if (loginBox && event->type() == QEvent::FocusOut && loginChange_) {
        disconnect(loginChange_);
        loginChange_ = {};
    }
    return QDialog::eventFilter(watched, event);
}

void TfConnect::cbLoginChange() {
    const std::string login = Std(cbLogin->currentText());
    QPalette p = lPassword->palette();
    if (login.empty()) {
        ePassword->setEnabled(false);
        p.setColor(QPalette::WindowText, palette().color(QPalette::Disabled, QPalette::WindowText));
        lPassword->setPalette(p);
        return;
    }
    ePassword->setEnabled(true);
    p.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::WindowText));
    lPassword->setPalette(p);
    for (const auto& e : RecentConnections)
        if (e.Login == login) {
            ePassword->setText(Q(e.Password));
            return;
        }
}

std::string TfConnect::ServerWithPort(const std::string& typed) {
    // One ":" followed by digits only; an IPv6 address has several and is left alone.
    const size_t colon = typed.find(':');
    if (colon == std::string::npos || colon == 0 || typed.find(':', colon + 1) != std::string::npos || typed.find(',') != std::string::npos)
        return typed;
    const std::string port = std::string(NbTrim(typed.substr(colon + 1)));
    if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return typed;
    return typed.substr(0, colon) + ',' + typed.substr(colon + 1);
}

bool TfConnect::HasKerberosTicket() {
    // The credential cache is a file unless configured otherwise; of other kinds we cannot tell.
    if (const char* cache = std::getenv("KRB5CCNAME"); cache && *cache) {
        std::string name = cache;
        if (name.rfind("FILE:", 0) == 0)
            name = name.substr(5);
        else if (name.find(':') != std::string::npos)
            return true;
        return FileExists(name);
    }
    if (FileExists("/etc/krb5.conf")) {
        std::ifstream conf("/etc/krb5.conf");
        for (std::string line; std::getline(conf, line);)
            if (line.find("default_ccache_name") != std::string::npos) return true;
    }
    return FileExists(NbFormat("/tmp/krb5cc_%u", static_cast<unsigned>(getuid())));
}

std::string TfConnect::ConnectFailureText(const std::string& message, const std::string& server, const std::string& login,
                                          const std::string& password, bool kerberosTicket) {
    if (message == "Unable to connect to data source") {
        // Nothing answered: name what was tried, as the driver reads the server text.
        std::string host = std::string(NbTrim(server)), port = "1433", instance;
        const size_t comma = host.find(',');
        if (comma != std::string::npos) {
            port = std::string(NbTrim(host.substr(comma + 1)));
            host = std::string(NbTrim(host.substr(0, comma)));
        }
        if (const size_t slash = host.find('\\'); slash != std::string::npos) {
            instance = host.substr(slash + 1);
            host = host.substr(0, slash);
        }
        if (comma == std::string::npos && !instance.empty())
            return NbFormat(
                "Unable to connect to the instance %s on the server %s: no server answered. Check the name, or give the port as host,port.",
                instance, host);
        return NbFormat(
            "Unable to connect to the server %s on port %s: no server answered there. Check the server name and the port (host,port).",
            host, port);
    }
    // FreeTDS's words when Windows Authentication finds no Kerberos credentials.
    if (message == "Adaptive Server connection failed" && !kerberosTicket && (login.empty() || password.empty())) {
        if (login.empty())
            return "A blank login means Windows Authentication, which needs a Kerberos ticket, and there is none. "
                   "Get one with kinit, or enter a login and password.";
        return NbFormat(
            "Without a password Windows Authentication is used, which needs a Kerberos ticket, and there is none. "
            "Enter the password for %s, or get a ticket with kinit.",
            login);
    }
    return message;
}

void TfConnect::Connect() {
    const std::string serverTyped = ServerWithPort(Std(cbServer->currentText()));
    const std::string server = std::string(NbTrim(serverTyped));
    const std::string login = std::string(NbTrim(Std(cbLogin->currentText())));
    const std::string password = Std(ePassword->text());
    if (server.empty() || !Connection) return;
    // A login with a password is a SQL login; anything else is integrated authentication.
    TDbConnectionParams params;
    params.Server = serverTyped;
    params.IntegratedSecurity = login.empty() || password.empty();
    if (!params.IntegratedSecurity) {
        params.UserId = login;
        params.Password = password;
    }
    params.Encrypt = cbEncrypt->isChecked();
    params.TrustServerCertificate = params.Encrypt && cbTrust->isChecked();
    if (Connection->Connected()) Connection->Close();
    Connection->ConnectionString = OleDbConnectionString(params);
    try {
        Connection->Open();
    } catch (const std::exception& e) {
        ShowError(Q(ConnectFailureText(e.what(), serverTyped, login, password, HasKerberosTicket())));
        return;
    }
    // The new entry first, then the others without the same server and login, 15 in all.
    TRecentConnections& list = RecentConnections;
    TRecentConnections updated;
    updated[0] = {server, login, cbRemember->isChecked() ? password : std::string(), params.Encrypt, params.TrustServerCertificate};
    size_t n = 1;
    for (const auto& e : list) {
        if (n >= updated.size()) break;
        if (e.Server.empty() || (e.Server == server && e.Login == login)) continue;
        updated[n++] = e;
    }
    list = updated;
    try {
        SaveRecentConnections();
    } catch (const std::exception& e) {
        // The connection stands; only remembering it failed.
        ShowError(QStringLiteral("The connection could not be remembered: %1").arg(QString::fromStdString(e.what())));
    }
}

void TfConnect::bConnectClick() {
    Connect();
    if (Connection && Connection->Connected()) accept();
}
