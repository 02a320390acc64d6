// The connection dialog: server, login and password, the connection string, and the list of
// recent connections.
#pragma once

#include "uDbAccess.h"

#include <QDialog>

#include <array>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TNbRegistry;

struct TConnectInfo {
    std::string Server;
    std::string Login;     // empty: Windows authentication
    std::string Password;  // empty when not remembered
    bool Encrypt = false;
    bool TrustServerCertificate = false;
};

using TRecentConnections = std::array<TConnectInfo, 15>;

class TfConnect : public QDialog {
    Q_OBJECT
public:
    explicit TfConnect(QWidget* owner = nullptr);

    TDbConnection* Connection = nullptr;
    // Index 0 is the most recent; read from the user's settings at every showing.
    TRecentConnections RecentConnections;
    // The settings key that remembers them.
    static constexpr const char* RegistryKey = "\\Software\\Merivane\\Tolvan\\";

    // "host:port" as the driver wants it, "host,port"; any other text unchanged.
    static std::string ServerWithPort(const std::string& typed);
    // The message shown for a failed connect: the driver's terse ones made plain, naming the
    // server and port tried, or the missing Kerberos ticket of Windows Authentication.
    static std::string ConnectFailureText(const std::string& message, const std::string& server, const std::string& login,
                                          const std::string& password, bool kerberosTicket);
    static bool HasKerberosTicket();
    void Connect();
    void LoadRecentConnections();
    void SaveRecentConnections();

    // How a failed connect is shown (a message box; tests replace it).
    std::function<void(const QString&)> ShowError;

    QComboBox* cbServer;
    QComboBox* cbLogin;
    QLineEdit* ePassword;
    QLabel* lPassword;
    QCheckBox* cbRemember;
    QCheckBox* cbEncrypt;
    QCheckBox* cbTrust;  // enabled only with encryption
    // A line under the fields for what could not be read from the settings; hidden when empty.
    QLabel* lNotice;
    QPushButton* bConnect;
    QPushButton* bCancel;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    void cbServerChange();
    void cbLoginChange();
    void bConnectClick();
    static std::string ReadIndexedValue(const TNbRegistry& reg, const char* name, int i);
    static void WriteIndexedValue(TNbRegistry& reg, const char* name, int i, const std::string& text);
    void ShowNotice(const QString& text);
    QMetaObject::Connection loginChange_;
};
