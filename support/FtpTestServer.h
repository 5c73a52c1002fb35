// A real FTP server on loopback for tests: Debian's pyftpdlib started as a
// child process over a fresh temporary folder, with one user that may read,
// write and delete. It listens on a port the system picks and exits when the
// object is destroyed, or by itself when the test process goes away (its
// standard input closes). Header-only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

extern char** environ;

namespace cltest {

class TFtpTestServer {
public:
    static constexpr const char* Python = "/usr/bin/python3";
    static constexpr const char* UserName = "ftpuser";
    static constexpr const char* Password = "ftp secret";

    // AWithoutMlsd: the server knows only the old LIST listing.
    explicit TFtpTestServer(bool AWithoutMlsd = false) {
        char pattern[] = "/tmp/ftptest.XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        FFolder = pattern;
        std::filesystem::create_directory(Root());
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        const std::string script = Script(AWithoutMlsd);
        const std::string root = Root();
        char* argv[] = {const_cast<char*>(Python), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                        const_cast<char*>(root.c_str()), nullptr};
        const int rc = posix_spawn(&FPid, Python, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        FStdin = toChild[1];
        if (rc != 0) {
            close(fromChild[0]);
            throw std::runtime_error("cannot start " + std::string(Python));
        }
        // The first line is the port.
        std::string line;
        char c;
        while (read(fromChild[0], &c, 1) == 1 && c != '\n') line += c;
        close(fromChild[0]);
        FPort = std::atoi(line.c_str());
        if (FPort <= 0) throw std::runtime_error("the FTP server did not start: " + line);
    }

    ~TFtpTestServer() {
        close(FStdin);
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            int status = 0;
            waitpid(FPid, &status, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }
    TFtpTestServer(const TFtpTestServer&) = delete;
    TFtpTestServer& operator=(const TFtpTestServer&) = delete;

    int Port() const { return FPort; }
    // The folder the server's "/" stands for.
    std::string Root() const { return FFolder + "/root"; }
    std::string PathOf(const std::string& ARemotePath) const { return Root() + ARemotePath; }
    void WriteFile(const std::string& ARemotePath, const std::string& AContent) const {
        const std::filesystem::path path = PathOf(ARemotePath);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << AContent;
    }

private:
    static std::string Script(bool AWithoutMlsd) {
        return std::string(
                   "import os, sys, threading, logging\n"
                   "from pyftpdlib.authorizers import DummyAuthorizer\n"
                   "from pyftpdlib.handlers import FTPHandler\n"
                   "from pyftpdlib.servers import FTPServer\n"
                   "logging.basicConfig(level=logging.CRITICAL)\n"
                   "a = DummyAuthorizer()\n"
                   "a.add_user('") +
               UserName + "', '" + Password +
               "', sys.argv[1], perm='elradfmw')\n"
               "class H(FTPHandler):\n"
               "    pass\n"
               "h = H\n"
               "h.authorizer = a\n" +
               (AWithoutMlsd ? "h.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items()\n"
                               "                 if k not in ('MLSD', 'MLST')}\n"
                             : "") +
               "h.passive_ports = None\n"
               "s = FTPServer(('127.0.0.1', 0), h)\n"
               "print(s.socket.getsockname()[1], flush=True)\n"
               "def watch():\n"
               "    sys.stdin.read()\n"
               "    os._exit(0)\n"
               "threading.Thread(target=watch, daemon=True).start()\n"
               "s.serve_forever()\n";
    }

    std::string FFolder;
    pid_t FPid = -1;
    int FStdin = -1;
    int FPort = 0;
};

}  // namespace cltest
