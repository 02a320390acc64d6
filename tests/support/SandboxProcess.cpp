#include "SandboxProcess.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

extern char** environ;

SandboxProcess::SandboxProcess(bool demo, std::vector<std::string> extraArgs) {
    char tmpl[] = "/tmp/tolvan-test-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dataDir_ = tmpl;
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string path = TOLVAN_SANDBOX_PATH;
    std::string dir = dataDir_;
    std::vector<char*> argv = {path.data(), const_cast<char*>("--port"), const_cast<char*>("0"), const_cast<char*>("--data-dir"),
                               dir.data(), const_cast<char*>("--exit-with-parent")};
    if (demo) argv.push_back(const_cast<char*>("--demo"));
    for (auto& a : extraArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ) != 0) throw std::runtime_error("cannot start " + path);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    const size_t colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw std::runtime_error("tolvan-sandbox did not start: '" + line + "'");
    }
    port_ = std::atoi(line.c_str() + colon + 1);
}

int SandboxProcess::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

SandboxProcess::~SandboxProcess() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dataDir_, ec);
}

std::string SandboxProcess::OdbcConnectionString(const std::string& user, const std::string& password, const std::string& database) const {
    return "Driver={FreeTDS};Server=127.0.0.1;Port=" + std::to_string(port_) + ";UID={" + user + "};PWD={" + password + "};Database={" +
           database + "};TDS_Version=7.4;ClientCharset=UTF-8";
}
