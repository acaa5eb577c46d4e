// A development host's HCI link: a Unix socket (SOCK_SEQPACKET, one packet per message)
// served by the BlueZ stand-in, carrying packets as an HCI socket does. The stand-in sends
// event packets only, so the filter needs nothing on the wire.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hci_link.h"
#include "paths.h"

namespace hci {

namespace {

constexpr const char* kSocketEnv = "HALVEX_HCI_SOCKET";

std::string SocketPath() {
    if (const char* path = std::getenv(kSocketEnv); path != nullptr && *path != '\0')
        return path;
    if (const char* run = std::getenv(paths::kRunDirEnv); run != nullptr && *run != '\0')
        return std::string(run) + "/hci.sock";
    return "/var/run/hci.sock";
}

class SocketLink : public Link {
  public:
    ~SocketLink() override { Close(); }

    bool Open() override {
        const std::string path = SocketPath();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path)
            return false;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return false;
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            Close();
            return false;
        }
        return true;
    }

    bool SetEventFilter() override { return fd_ >= 0; }

    bool Send(uint16_t ogf, uint16_t ocf, const std::vector<uint8_t>& params) override {
        if (fd_ < 0 || params.size() > 255)
            return false;
        const uint16_t opcode = Opcode(ogf, ocf);
        std::vector<uint8_t> packet{kCommandPacket, static_cast<uint8_t>(opcode & 0xff),
                                    static_cast<uint8_t>(opcode >> 8),
                                    static_cast<uint8_t>(params.size())};
        packet.insert(packet.end(), params.begin(), params.end());
        ssize_t sent;
        do {
            sent = send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent == static_cast<ssize_t>(packet.size());
    }

    std::optional<std::vector<uint8_t>> Read(std::chrono::milliseconds timeout) override {
        return ReadPacket(fd_, timeout);
    }

    void Close() override {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<Link> MakeLink() {
    return std::make_unique<SocketLink>();
}

}  // namespace hci
