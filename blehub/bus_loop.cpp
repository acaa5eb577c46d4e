#include "bus_loop.h"

#include <exception>

#include "log.h"

BusLoop::BusLoop(sdbus::IConnection& connection, Lost lost)
    : connection_(connection), lost_(std::move(lost)) {}

BusLoop::~BusLoop() {
    Stop();
}

void BusLoop::Start() {
    if (thread_.joinable())
        return;
    thread_ = std::thread([this] {
        try {
            connection_.enterEventLoop();
        } catch (const std::exception& e) {
            LOGE << "D-Bus event loop ended: " << e.what();
            if (lost_)
                lost_(e.what());
        }
    });
}

void BusLoop::Stop() {
    if (!thread_.joinable())
        return;
    connection_.leaveEventLoop();
    thread_.join();
}
