#include "skeleton.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <boost/stacktrace.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "log.h"

namespace skeleton {

void InstallSignalHandler(void (*handler)(int)) {
    ::signal(SIGTERM, handler);
    ::signal(SIGINT, handler);
    ::signal(SIGABRT, handler);
    ::signal(SIGSEGV, handler);
    // A peer that hangs up must not end the daemon; writes report the error instead.
    ::signal(SIGPIPE, SIG_IGN);
}

void LogSignal(int sig) {
    if (IsFault(sig)) {
        // What follows a fault (back-trace, status event) allocates; after a fault inside the
        // allocator that blocks for ever. The alarm ends the process all the same.
        ::signal(SIGALRM, SIG_DFL);
        ::alarm(kFaultGraceSeconds);
    }
    logging::WriteFromSignal(logging::error, "SignalHandler", __LINE__, "Signal Catch : ", sig,
                             true);
    logging::WriteFromSignal(logging::error, "SignalHandler", __LINE__, "Terminate program..");
}

bool IsFault(int sig) {
    return sig == SIGSEGV || sig == SIGABRT;
}

void LogBacktrace() {
    boost::stacktrace::stacktrace trace;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const auto& frame = trace[i];
        std::string name = frame.name();
        char line[512];
        if (name.empty()) {
            std::snprintf(line, sizeof line, "%2zu# %p", i, frame.address());
        } else {
            std::snprintf(line, sizeof line, "%2zu# %p in %s", i, frame.address(), name.c_str());
        }
        logging::WriteFromSignal(logging::error, "SignalHandler", __LINE__, line);
    }
}

void EndOnFault(int sig) {
    ::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

void EndIfFault(int sig) {
    if (!IsFault(sig))
        return;
    LogBacktrace();
    EndOnFault(sig);
}

std::string VersionFromOutput(std::string output) {
    static const std::string kSeparator = " - ";
    bool found = false;
    for (std::size_t pos; (pos = output.find(kSeparator)) != std::string::npos;) {
        output.erase(0, pos + kSeparator.size());
        found = true;
    }
    return found ? output : std::string();
}

std::string PackageVersion(const std::string& package) {
    const std::string command = "opkg list-installed " + package + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe)
        throw std::runtime_error("popen() failed!");
    std::string output;
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr)
        output += buffer;
    return VersionFromOutput(output);
}

void Sleep(std::chrono::nanoseconds duration) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(duration);
    struct timespec req {};
    req.tv_sec = static_cast<time_t>(secs.count());
    req.tv_nsec = static_cast<long>((duration - secs).count());
    struct timespec rem {};
    while (::nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

}  // namespace skeleton
