// Connects a main window to a stand-in as the connection dialog does, without showing the dialog.
#pragma once

#include "SandboxProcess.h"
#include "uTolvanMain.h"

#include <string>

inline void ConnectWindow(TfTlvnMain& w, const SandboxProcess& server) {
    w.db.ConnectionString = std::string("Provider=SQLOLEDB.1;User ID=sa;Password=") + SandboxProcess::Password() +
                            ";Data Source=127.0.0.1," + std::to_string(server.Port()) + ";Initial Catalog=master;Persist Security Info=True;";
    w.db.Open();
    w.LoadDatabaseList();
    w.RefreshActionStates();
    w.AfterConnectDialog();
}
