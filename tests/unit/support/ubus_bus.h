#pragma once

// The bus this build's ubus classes talk over, private to a test: a dbus-daemon for the host
// transport, a ubusd for the router's libubus (GATEWAY_UBUS_LIBUBUS). Either way its address
// is exported as HALVEX_UBUS_ADDRESS, so that ubus classes built without a socket path, and
// the children a test starts, find it. Tests that need it skip only when its daemon is absent.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "private_bus.h"
#include "wait_for.h"

namespace testing_support {

// The program the variable names (if any), else the one the build was configured with, else
// `name` (if any) found on PATH; "" when none is there.
inline std::string FindProgram(const char* variable, const char* configured, const char* name) {
    namespace fs = std::filesystem;
    auto runnable = [](const fs::path& path) { return access(path.c_str(), X_OK) == 0; };
    if (const char* named = variable != nullptr ? std::getenv(variable) : nullptr;
        named != nullptr && *named != '\0')
        return runnable(named) ? named : "";
    if (configured != nullptr && *configured != '\0' && runnable(configured))
        return configured;
    if (name == nullptr)
        return "";
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
        if (end > start && runnable(candidate))
            return candidate.string();
        start = end + 1;
    }
    return "";
}

// True once something accepts connections on the Unix socket at `path`.
inline bool Listening(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    path.copy(addr.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

#ifdef GATEWAY_UBUS_LIBUBUS

#ifndef GATEWAY_UBUSD
#define GATEWAY_UBUSD ""
#endif
#ifndef GATEWAY_RPCD
#define GATEWAY_RPCD ""
#endif
#ifndef GATEWAY_UBUS_CLI
#define GATEWAY_UBUS_CLI ""
#endif

// A cross build's tests run the target's programs under an emulator: never the host's.
#ifdef GATEWAY_TEST_EMULATOR
#define GATEWAY_ON_PATH(name) nullptr
#else
#define GATEWAY_ON_PATH(name) name
#endif

inline std::string UbusDaemon() {
    return FindProgram("GATEWAY_UBUSD", GATEWAY_UBUSD, GATEWAY_ON_PATH("ubusd"));
}
constexpr const char* kNoUbusDaemon =
    "needs ubusd, the libubus transport's bus: put it on PATH, name it with "
    "GATEWAY_UBUSD=/path/to/ubusd or configure with -DGATEWAY_UBUSD=/path/to/ubusd";

// ubus's command-line client, built with that ubusd: another client of the bus.
inline std::string UbusCli() {
    return FindProgram("GATEWAY_UBUS_CLI", GATEWAY_UBUS_CLI, GATEWAY_ON_PATH("ubus"));
}
// Its argv for `args`, on the bus of HALVEX_UBUS_ADDRESS.
inline std::vector<std::string> UbusCliCommand(const std::vector<std::string>& args) {
    const char* socket = std::getenv("HALVEX_UBUS_ADDRESS");
    std::vector<std::string> argv = {UbusCli(), "-s", socket != nullptr ? socket : ""};
    argv.insert(argv.end(), args.begin(), args.end());
    return BuiltProgram(argv);
}
constexpr const char* kNoUbusCli =
    "needs the ubus command built with ubusd: put it on PATH, name it with "
    "GATEWAY_UBUS_CLI=/path/to/ubus or configure with -DGATEWAY_UBUS_CLI=/path/to/ubus";

// A ubusd of its own on a socket in a temporary folder, its path exported as
// HALVEX_UBUS_ADDRESS; otherwise as PrivateBus (construct it before the test starts threads).
class PrivateUbusd {
  public:
    static constexpr const char* kAddressVariable = "HALVEX_UBUS_ADDRESS";

    PrivateUbusd() : program_(UbusDaemon()) {
        if (program_.empty())
            throw std::runtime_error(kNoUbusDaemon);
        std::string templ = (std::filesystem::temp_directory_path() / "gw-ubus-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = templ;
        try {
            Start();
        } catch (...) {
            std::filesystem::remove_all(dir_);
            throw;
        }
        addressVariable_.emplace(kAddressVariable, SocketPath());
    }

    PrivateUbusd(const PrivateUbusd&) = delete;
    PrivateUbusd& operator=(const PrivateUbusd&) = delete;

    ~PrivateUbusd() {
        addressVariable_.reset();
        daemon_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void Restart() {
        Stop();
        Start();
    }
    void Stop() {
        daemon_.reset();
        std::error_code ec;
        std::filesystem::remove(SocketPath(), ec);
    }
    void Start() {
        daemon_.emplace(BuiltProgram({program_, "-s", SocketPath()}), /*quiet=*/true);
        // Under an emulator ubusd takes a while to listen.
        if (!WaitFor([&] { return Listening(SocketPath()); }, std::chrono::seconds(30))) {
            daemon_.reset();
            throw std::runtime_error("ubusd did not listen on " + SocketPath());
        }
    }

    // What a ubus class takes as its socket path.
    std::string Address() const { return SocketPath(); }
    const std::string& Dir() const { return dir_; }
    std::string SocketPath() const { return dir_ + "/bus"; }
    pid_t DaemonPid() const { return daemon_->Pid(); }

  private:
    std::string program_;
    std::string dir_;
    std::optional<ScopedEnvironment> addressVariable_;
    std::optional<ChildProcess> daemon_;
};

using UbusBus = PrivateUbusd;

#else

// PrivateBus starts it by name.
inline std::string UbusDaemon() {
    return FindProgram(nullptr, nullptr, "dbus-daemon");
}
constexpr const char* kNoUbusDaemon =
    "needs dbus-daemon, the host transport's bus, on PATH (Debian: dbus-daemon)";

using UbusBus = PrivateBus;

#endif

}  // namespace testing_support

// In SetUp or a test body, before the bus is started.
#define SKIP_WITHOUT_UBUS_DAEMON()                            \
    do {                                                      \
        if (::testing_support::UbusDaemon().empty())          \
            GTEST_SKIP() << ::testing_support::kNoUbusDaemon; \
    } while (false)
