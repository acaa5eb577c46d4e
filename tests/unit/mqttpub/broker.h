#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "wait_for.h"

extern char** environ;

namespace testing_support {

inline sockaddr_in LoopbackAddress(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// Debian's mosquitto broker on a loopback port of its own, started and stopped by the test.
class Broker {
  public:
    Broker() : port_(FreePort()) {
        char dir[] = "/tmp/gw-broker-XXXXXX";
        dir_ = mkdtemp(dir);
        std::ofstream(dir_ + "/mosquitto.conf")
            << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n";
        Start();
    }
    ~Broker() {
        Stop();
        std::filesystem::remove_all(dir_);
    }

    int Port() const { return port_; }

    void Start() {
        std::string conf = dir_ + "/mosquitto.conf";
        char* argv[] = {const_cast<char*>("/usr/sbin/mosquitto"), const_cast<char*>("-c"),
                        conf.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/broker.out").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        WaitFor([this] { return Accepting(); });
    }

    void Stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    bool Accepting() const {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = LoopbackAddress(port_);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        return ok;
    }

  private:
    static int FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = LoopbackAddress(0);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        close(fd);
        return ntohs(addr.sin_port);
    }

    int port_;
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace testing_support
