#include "skeleton.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

TEST(Skeleton, VersionIsTheTextAfterTheLastSeparator) {
    EXPECT_EQ(skeleton::VersionFromOutput("blehub - 1.2.3-1\n"), "1.2.3-1\n");
    EXPECT_EQ(skeleton::VersionFromOutput("a - b - 2.0-7\n"), "2.0-7\n");
    EXPECT_EQ(skeleton::VersionFromOutput("no separator here\n"), "");
    EXPECT_EQ(skeleton::VersionFromOutput(""), "");
}

TEST(Skeleton, PackageVersionIsEmptyWhenOpkgIsMissing) {
    // No opkg on a development host unless a test puts one on PATH.
    std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(skeleton::PackageVersion("blehub"), "");
    setenv("PATH", saved.c_str(), 1);
}

TEST(Skeleton, SleepResumesAfterASignal) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, &old);
    pthread_t self = pthread_self();
    std::thread poker([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(self, SIGUSR1);
    });
    const auto start = std::chrono::steady_clock::now();
    skeleton::Sleep(std::chrono::milliseconds(300));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    poker.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

}  // namespace
