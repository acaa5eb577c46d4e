#pragma once

// Real processes for tests: a private dbus-daemon carrying the host bus, and child
// processes (stand-ins, peers) that a test starts and stops. Header-only so that any test
// or benchmark program can use it by adding tests/unit/support to its include path.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testing_support {

// The argv that starts a program of this build: a cross build's test runs under an
// emulator, which must run that program too.
inline std::vector<std::string> BuiltProgram(std::vector<std::string> argv) {
#ifdef GATEWAY_TEST_EMULATOR
    argv.insert(argv.begin(), GATEWAY_TEST_EMULATOR);
#endif
    return argv;
}

// A child process started with posix_spawn (safe in a threaded test program). Its
// standard output is a pipe that WaitForLine reads; standard error is inherited so that
// its complaints show in the test log (unless `quiet`). It runs in a process group of its
// own.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv, bool quiet = false) {
        if (argv.empty())
            throw std::invalid_argument("ChildProcess: empty argv");
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (quiet) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        }
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attr, 0);
        sigset_t none, defaults;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &defaults);

        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
        }
        out_ = fds[0];
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ~ChildProcess() {
        Stop();
        if (out_ >= 0)
            close(out_);
    }

    pid_t Pid() const { return pid_; }

    bool Alive() {
        Reap(false);
        return !status_;
    }

    // Reads standard output until a line starting with `prefix`; returns that line.
    std::optional<std::string> WaitForLine(
        const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (auto nl = pending_.find('\n'); nl != std::string::npos; nl = pending_.find('\n')) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                output_ += line + "\n";
                if (line.compare(0, prefix.size(), prefix) == 0)
                    return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || out_ < 0)
                return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            const int n = poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return std::nullopt;
            char buf[4096];
            const ssize_t got = read(out_, buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                close(out_);
                out_ = -1;
                continue;  // the last complete lines are still examined
            }
            pending_.append(buf, static_cast<size_t>(got));
        }
    }

    // Lines of standard output read so far by WaitForLine.
    const std::string& Output() const { return output_; }

    // Waits for the process to end by itself; its wait status, or nothing on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!Reap(false)) {
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return status_;
    }

    // SIGTERM, then SIGKILL to the group after `grace`; returns the wait status.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
        if (Reap(false))
            return *status_;
        kill(pid_, SIGTERM);
        if (auto st = Wait(grace)) {
            killpg(pid_, SIGKILL);  // leftovers of the group, if any
            return *st;
        }
        killpg(pid_, SIGKILL);
        Reap(true);
        return *status_;
    }

  private:
    // True once the process has ended and its status is known.
    bool Reap(bool block) {
        if (status_)
            return true;
        int st = 0;
        pid_t r;
        do {
            r = waitpid(pid_, &st, block ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == pid_)
            status_ = st;
        return status_.has_value();
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::optional<int> status_;
    std::string pending_;
    std::string output_;
};

// Sets an environment variable for as long as it lives, then puts back what was there.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            previous_ = old;
        setenv(name, value.c_str(), 1);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        if (previous_) {
            setenv(name_, previous_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

// A dbus-daemon of its own in a temporary folder, its address exported as
// HALVEX_UBUS_ADDRESS for this process and the children it starts. Construct it before
// the test starts threads (setenv is not thread-safe); the previous value is restored at
// the end, and the daemon is stopped and the folder removed.
class PrivateBus {
  public:
    static constexpr const char* kAddressVariable = "HALVEX_UBUS_ADDRESS";

    PrivateBus() {
        std::string templ = (std::filesystem::temp_directory_path() / "gw-bus-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = templ;
        // Without the daemon's guid, so that clients find a restarted daemon at the same path.
        address_ = "unix:path=" + SocketPath();
        try {
            StartDaemon();
        } catch (...) {
            std::filesystem::remove_all(dir_);
            throw;
        }
        addressVariable_.emplace(kAddressVariable, address_);
    }

    // Stops the daemon and starts a new one at the same address: every connection is lost.
    void Restart() {
        Stop();
        Start();
    }

    // Stops the daemon; its socket is gone until Start.
    void Stop() {
        daemon_.reset();
        std::error_code ec;
        std::filesystem::remove(SocketPath(), ec);
    }

    // Starts a new daemon at the same address after Stop.
    void Start() { StartDaemon(); }

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    ~PrivateBus() {
        addressVariable_.reset();
        daemon_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // D-Bus address, e.g. "unix:path=/tmp/gw-bus-abc123/bus".
    const std::string& Address() const { return address_; }
    // The temporary folder; removed with everything in it at the end.
    const std::string& Dir() const { return dir_; }
    // The daemon's socket in that folder.
    std::string SocketPath() const { return dir_ + "/bus"; }
    pid_t DaemonPid() const { return daemon_->Pid(); }

  private:
    void StartDaemon() {
        daemon_.emplace(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--print-address", "--address=" + address_},
            /*quiet=*/true);
        if (!daemon_->WaitForLine("unix:")) {
            daemon_.reset();
            throw std::runtime_error("dbus-daemon did not print its address");
        }
    }

    std::string dir_;
    std::string address_;
    std::optional<ScopedEnvironment> addressVariable_;
    std::optional<ChildProcess> daemon_;
};

}  // namespace testing_support
