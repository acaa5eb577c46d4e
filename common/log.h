#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

// One process-wide logger writing a rolling text file:
//   2026-12-08 03:43:48.354 WARN  [7552] [Scanner::Tick@5] message
namespace logging {

// Overrides Options::max when set to a severity number.
constexpr const char* kLevelEnv = "HALVEX_LOG_LEVEL";

enum Severity : int {
    none = 0,
    fatal = 1,
    error = 2,
    warning = 3,
    info = 4,
    debug = 5,
    verbose = 6
};

struct Options {
    std::string file;      // file name, e.g. "ble.log", placed in paths::LogDir()
    Severity max = info;   // records above this severity are dropped
    bool console = false;  // also write to standard output (coloured on a terminal)
    std::size_t maxFileSize = 65536;
    int maxFiles = 5;  // name.log plus name.1.log .. name.(maxFiles-1).log
};

// Creates the logger; only the first call takes effect.
void Init(const Options& options);

// Defined as a static object ahead of a daemon's main object, so that the logger exists
// before that object's constructor runs.
struct Setup {
    Setup(const char* file, Severity max, bool console = false);
};

bool Enabled(Severity severity);
Severity MaxSeverity();
void SetMaxSeverity(Severity severity);

void Write(Severity severity, const char* function, int line, const std::string& message);
// For signal handlers: no allocation, no blocking lock; the line may go out unrolled.
void WriteFromSignal(Severity severity, const char* function, int line, const char* message,
                     long number = 0, bool withNumber = false);

// "2026-12-08 03:43:48.354 " for UNIX time, milliseconds and a UTC offset (seconds east);
// no allocation, so signal handlers may use it. Returns the length (0 on error).
std::size_t FormatTime(char* buf, std::size_t cap, int64_t unixSeconds, long millis, long offset);

// A record's message is cut at this many bytes (its full length noted), so a few records
// can never push the rest of the history out of the rotated files.
constexpr std::size_t kMaxMessage = 2048;
// Outside text in a record is quoted up to this many bytes.
constexpr std::size_t kQuoteBytes = 256;

// `text` in double quotes for a record: control bytes, quotes, backslashes and bytes that are
// not UTF-8 escaped, at most `max` bytes of it, and when it was longer, its full length:
//   "AABBCC..." (1048576 bytes)
std::string Quote(std::string_view text, std::size_t max = kQuoteBytes);

// Text that is escaped already (a JSON dump) as it is, at most `max` bytes of it, and when it
// was longer, its full length.
std::string Cut(std::string_view text, std::size_t max = kQuoteBytes);

// "void Foo::Bar(int)" -> "Foo::Bar"
std::string FunctionName(const char* prettyFunction);

class Record {
  public:
    Record(Severity severity, const char* function, int line)
        : severity_(severity), function_(function), line_(line) {}
    ~Record() { Write(severity_, function_, line_, stream_.str()); }
    std::ostringstream& stream() { return stream_; }

  private:
    Severity severity_;
    const char* function_;
    int line_;
    std::ostringstream stream_;
};

}  // namespace logging

// A loop rather than if/else, so that the macro is safe inside an unbraced if.
#define LOG_(severity)                                                                         \
    for (bool log_enabled_ = ::logging::Enabled(severity); log_enabled_; log_enabled_ = false) \
    ::logging::Record(severity, __PRETTY_FUNCTION__, __LINE__).stream()

#define LOGF LOG_(::logging::fatal)
#define LOGE LOG_(::logging::error)
#define LOGW LOG_(::logging::warning)
#define LOGI LOG_(::logging::info)
#define LOGD LOG_(::logging::debug)
#define LOGV LOG_(::logging::verbose)
