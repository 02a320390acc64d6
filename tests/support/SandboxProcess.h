// Starts tolvan-sandbox on a free loopback port for the life of a test and stops it afterwards.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

class SandboxProcess {
public:
    // Starts the stand-in with the demo database in a fresh data folder.
    explicit SandboxProcess(bool demo = true, std::vector<std::string> extraArgs = {});
    ~SandboxProcess();
    SandboxProcess(const SandboxProcess&) = delete;
    SandboxProcess& operator=(const SandboxProcess&) = delete;

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    const std::string& DataDir() const { return dataDir_; }
    // Stops the stand-in (SIGTERM) and gives its exit status as waitpid reports it; -1 when not running.
    int Stop();
    static const char* Password() { return "Tolvan-2026"; }
    // An ODBC connection string for the FreeTDS driver. FreeTDS ends a braced value at the first
    // "}" that is followed by ";" or the end, so "}" inside a value needs no doubling.
    std::string OdbcConnectionString(const std::string& user = "sa", const std::string& password = Password(),
                                     const std::string& database = "master") const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dataDir_;
};
