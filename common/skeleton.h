#pragma once

#include <atomic>
#include <chrono>
#include <string>

// What every daemon's main() shares: signals, the version banner, the loop's sleep.
namespace skeleton {

// Installs `handler` for SIGTERM, SIGINT, SIGABRT and SIGSEGV, in that order.
void InstallSignalHandler(void (*handler)(int));

// Seconds a fault handler may take before SIGALRM ends the process.
constexpr unsigned kFaultGraceSeconds = 5;

// "Signal Catch : N" and "Terminate program.." at error severity (signal-safe). For a fault
// it first arms an alarm, so that a handler that hangs still ends the process.
void LogSignal(int sig);
// True for SIGSEGV and SIGABRT.
bool IsFault(int sig);
// Writes a back-trace of the calling thread at error severity.
void LogBacktrace();
// Restores the default action and raises `sig` again: a fault ends the process instead of
// returning into the faulting code.
[[noreturn]] void EndOnFault(int sig);
// For a fault, writes the back-trace and ends the process; for any other signal, returns.
void EndIfFault(int sig);

// The main object as the signal handler reaches it. A stop requested before the object exists
// (a signal while its constructor loads settings) is applied when it is attached.
template <typename T>
class MainObject {
  public:
    void Attach(T& object) {
        object_.store(&object);
        if (requested_.load())
            object.Stop();
    }
    void Detach() { object_.store(nullptr); }
    // Safe from a signal handler: only atomics and the object's own Stop.
    void Stop() {
        requested_.store(true);
        if (T* object = object_.load())
            object->Stop();
    }

  private:
    std::atomic<T*> object_{nullptr};
    std::atomic<bool> requested_{false};
};

// Installed version of an opkg package ("" when opkg or the package is missing).
// Throws std::runtime_error("popen() failed!") when the command cannot be started.
std::string PackageVersion(const std::string& package);
// The text after the last " - " of `output` ("" when there is none).
std::string VersionFromOutput(std::string output);

// Sleeps for `duration`, resuming after signal interruptions.
void Sleep(std::chrono::nanoseconds duration);

}  // namespace skeleton
