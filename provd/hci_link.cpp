// What both HCI links share: reading one packet from a socket that hands over whole packets.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "hci_link.h"

namespace hci {

std::optional<std::vector<uint8_t>> ReadPacket(int fd, std::chrono::milliseconds timeout) {
    if (fd < 0)
        return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return std::nullopt;
    std::vector<uint8_t> buffer(kMaxEventSize);
    ssize_t got;
    do {
        got = read(fd, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

}  // namespace hci
