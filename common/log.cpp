#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "paths.h"

namespace logging {

namespace {

struct State {
    std::mutex mutex;
    bool initialised = false;
    Options options;
    std::string path;  // ".../name.log"
    std::string stem;  // ".../name"
    std::string ext;   // ".log"
    std::atomic<int> fd{-1};
    std::size_t size = 0;
    bool colour = false;
    std::atomic<long> utcOffset{0};  // seconds east of UTC, for the signal path
};

State& state() {
    static State s;
    return s;
}

std::atomic<int> maxSeverity{info};

const char* SeverityWord(Severity s) {
    switch (s) {
        case fatal:
            return "FATAL";
        case error:
            return "ERROR";
        case warning:
            return "WARN ";
        case info:
            return "INFO ";
        case debug:
            return "DEBUG";
        case verbose:
            return "VERB ";
        default:
            return "NONE ";
    }
}

const char* Colour(Severity s) {
    switch (s) {
        case fatal:
            return "\x1b[1;37;41m";
        case error:
            return "\x1b[31m";
        case warning:
            return "\x1b[33m";
        case debug:
        case verbose:
            return "\x1b[36m";
        default:
            return "";
    }
}

void MakeDirs(const std::string& dir) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/')
            ::mkdir(dir.substr(0, pos).c_str(), 0755);
    }
}

void OpenFile(State& s) {
    int fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat st {};
    s.size = (fd >= 0 && ::fstat(fd, &st) == 0) ? static_cast<std::size_t>(st.st_size) : 0;
    s.fd.store(fd);
}

std::string RolledName(const State& s, int index) {
    return s.stem + "." + std::to_string(index) + s.ext;
}

// name.log -> name.1.log -> ... -> name.(maxFiles-1).log, the oldest dropped.
void Roll(State& s) {
    int old = s.fd.exchange(-1);
    if (old >= 0)
        ::close(old);
    if (s.options.maxFiles > 1) {
        ::unlink(RolledName(s, s.options.maxFiles - 1).c_str());
        for (int i = s.options.maxFiles - 2; i >= 1; --i) {
            ::rename(RolledName(s, i).c_str(), RolledName(s, i + 1).c_str());
        }
        ::rename(s.path.c_str(), RolledName(s, 1).c_str());
    } else {
        ::unlink(s.path.c_str());
    }
    OpenFile(s);
}

void WriteAll(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

// Caller holds the mutex.
void Emit(State& s, Severity severity, const char* line, std::size_t len) {
    if (s.initialised) {
        if (s.fd.load() >= 0 && s.size > 0 && s.size + len > s.options.maxFileSize)
            Roll(s);
        int fd = s.fd.load();
        if (fd >= 0) {
            WriteAll(fd, line, len);
            s.size += len;
        }
    }
    if (!s.initialised || s.options.console) {
        int out = s.initialised ? STDOUT_FILENO : STDERR_FILENO;
        if (s.colour) {
            const char* c = Colour(severity);
            WriteAll(out, c, std::strlen(c));
            WriteAll(out, line, len - 1);
            WriteAll(out, "\x1b[0m\n", 5);
        } else {
            WriteAll(out, line, len);
        }
    }
}

long ThreadId() {
    return static_cast<long>(::syscall(SYS_gettid));
}

// Civil date from days since 1970-01-01 (no locale, no locks).
void CivilFromDays(long z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long yy = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yy + (m <= 2));
}

// From the real-time clock; a 32-bit time_t past 2038 cannot read it and shows 1970.
std::size_t FormatNow(char* buf, std::size_t cap, long offset) {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return FormatTime(buf, cap, ts.tv_sec, static_cast<long>(ts.tv_nsec / 1000000), offset);
}

long CurrentUtcOffset() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local.tm_gmtoff;
}

}  // namespace

// Seconds in 64 bits: `long` is 32 bits on the router's CPU, and so would end in 2038.
std::size_t FormatTime(char* buf, std::size_t cap, int64_t unixSeconds, long millis, long offset) {
    const int64_t secs = unixSeconds + offset;
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    int y;
    unsigned mo, d;
    CivilFromDays(static_cast<long>(days), y, mo, d);
    const long hms = static_cast<long>(rem);
    int n = std::snprintf(buf, cap, "%04d-%02u-%02u %02ld:%02ld:%02ld.%03ld ", y, mo, d, hms / 3600,
                          (hms / 60) % 60, hms % 60, millis);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

namespace {

// Length of the UTF-8 sequence at `p` (at most `left` bytes there), 0 when there is none.
std::size_t Utf8Length(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0)
            lo = 0xa0;
        if (c == 0xed)
            hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0)
            lo = 0x90;
        if (c == 0xf4)
            hi = 0x8f;
    } else {
        return 0;
    }
    if (left < n || p[1] < lo || p[1] > hi)
        return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (p[i] < 0x80 || p[i] > 0xbf)
            return 0;
    }
    return n;
}

// Where to cut `text` at most `max` bytes in, not inside a character.
std::size_t CutPoint(std::string_view text, std::size_t max) {
    if (text.size() <= max)
        return text.size();
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    return cut;
}

}  // namespace

std::string Quote(std::string_view text, std::size_t max) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t end = CutPoint(text, max);
    std::string out;
    out.reserve(end + 32);
    out.push_back('"');
    for (std::size_t i = 0; i < end;) {
        const unsigned char c = p[i];
        const std::size_t n = Utf8Length(p + i, end - i);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (n == 1 && c >= 0x20 && c != 0x7f) {
            out.push_back(static_cast<char>(c));
        } else if (n > 1) {
            out.append(text.data() + i, n);
            i += n;
            continue;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out.append(hex);
        }
        ++i;
    }
    out.push_back('"');
    if (end < text.size())
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

std::string Cut(std::string_view text, std::size_t max) {
    const std::size_t end = CutPoint(text, max);
    std::string out(text.substr(0, end));
    if (end < text.size())
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

std::string FunctionName(const char* raw) {
    // clang writes "(anonymous namespace)" where GCC writes "{anonymous}"; its parenthesis
    // would pass for the one of the parameter list.
    std::string text = raw;
    static constexpr char kClangAnonymous[] = "(anonymous namespace)";
    for (auto at = text.find(kClangAnonymous); at != std::string::npos;
         at = text.find(kClangAnonymous, at))
        text.replace(at, sizeof kClangAnonymous - 1, "{anonymous}");
    const char* pretty = text.c_str();
    const char* begin = pretty;
    const char* end = std::strchr(pretty, '(');
    if (end == nullptr)
        return text;
    int depth = 0;
    for (const char* p = end - 1; p >= begin; --p) {
        if (*p == '>') {
            ++depth;
        } else if (*p == '<') {
            --depth;
        } else if (*p == ' ' && depth == 0) {
            begin = p + 1;
            break;
        }
    }
    return std::string(begin, end);
}

void Init(const Options& options) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initialised)
        return;
    s.options = options;
    // A host rig may ask for more detail than a router logs (HALVEX_LOG_LEVEL=6: verbose).
    if (const char* level = std::getenv(kLevelEnv)) {
        char* end = nullptr;
        long n = std::strtol(level, &end, 10);
        if (end != level && *end == '\0' && n >= none && n <= verbose) {
            s.options.max = static_cast<Severity>(n);
        }
    }
    maxSeverity.store(s.options.max);
    std::string dir = paths::LogDir();
    MakeDirs(dir);
    s.path = dir + "/" + options.file;
    std::size_t dot = options.file.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        s.stem = s.path;
        s.ext.clear();
    } else {
        s.stem = dir + "/" + options.file.substr(0, dot);
        s.ext = options.file.substr(dot);
    }
    s.utcOffset.store(CurrentUtcOffset());
    s.colour = options.console && ::isatty(STDOUT_FILENO);
    OpenFile(s);
    s.initialised = true;
}

Setup::Setup(const char* file, Severity max, bool console) {
    Options options;
    options.file = file;
    options.max = max;
    options.console = console;
    Init(options);
}

bool Enabled(Severity severity) {
    return severity != none &&
           static_cast<int>(severity) <= maxSeverity.load(std::memory_order_relaxed);
}

Severity MaxSeverity() {
    return static_cast<Severity>(maxSeverity.load());
}

void SetMaxSeverity(Severity severity) {
    maxSeverity.store(severity);
}

void Write(Severity severity, const char* function, int line, const std::string& message) {
    State& s = state();
    long offset = CurrentUtcOffset();
    s.utcOffset.store(offset, std::memory_order_relaxed);

    const std::size_t keep = CutPoint(message, kMaxMessage);
    std::string text;
    text.reserve(128 + keep);
    char head[96];
    std::size_t n = FormatNow(head, sizeof head, offset);
    text.append(head, n);
    text.append(SeverityWord(severity));
    std::snprintf(head, sizeof head, " [%ld] [", ThreadId());
    text.append(head);
    text.append(FunctionName(function));
    std::snprintf(head, sizeof head, "@%d] ", line);
    text.append(head);
    text.append(message, 0, keep);
    if (keep < message.size())
        text += " ... (cut, " + std::to_string(message.size()) + " bytes)";
    text.push_back('\n');

    std::lock_guard<std::mutex> lock(s.mutex);
    Emit(s, severity, text.data(), text.size());
}

void WriteFromSignal(Severity severity, const char* function, int line, const char* message,
                     long number, bool withNumber) {
    if (!Enabled(severity))
        return;
    State& s = state();
    char buf[1024];
    std::size_t n = FormatNow(buf, sizeof buf, s.utcOffset.load(std::memory_order_relaxed));
    int m;
    if (withNumber) {
        m = std::snprintf(buf + n, sizeof buf - n, "%s [%ld] [%s@%d] %s%ld\n",
                          SeverityWord(severity), ThreadId(), function, line, message, number);
    } else {
        m = std::snprintf(buf + n, sizeof buf - n, "%s [%ld] [%s@%d] %s\n", SeverityWord(severity),
                          ThreadId(), function, line, message);
    }
    if (m < 0)
        return;
    std::size_t len = std::min(sizeof buf - 1, n + static_cast<std::size_t>(m));
    buf[len - 1] = '\n';
    // The interrupted thread may hold the lock: then write unrolled rather than wait forever.
    if (s.mutex.try_lock()) {
        Emit(s, severity, buf, len);
        s.mutex.unlock();
    } else {
        int fd = s.fd.load();
        WriteAll(fd >= 0 ? fd : STDERR_FILENO, buf, len);
    }
}

}  // namespace logging
