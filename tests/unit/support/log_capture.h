#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>

#include "log.h"
#include "paths.h"
#include "wait_for.h"

namespace testing_support {

// The test program's log file at verbose severity, read from the point where a capture began.
class LogCapture {
  public:
    LogCapture() : offset_(Text().size()) {}

    // Sends the process's log to a fresh folder; call before anything logs.
    static void Init(const char* file) {
        static const bool done = [file] {
            char dir[] = "/tmp/gw-unit-XXXXXX";
            if (mkdtemp(dir) == nullptr)
                std::abort();
            setenv(paths::kRunDirEnv, dir, 1);
            mkdir((std::string(dir) + "/log").c_str(), 0755);
            logging::Options o;
            o.file = file;
            o.max = logging::verbose;
            o.maxFileSize = 64u << 20;
            logging::Init(o);
            Name() = file;
            static struct Cleanup {
                std::string dir;
                ~Cleanup() { std::filesystem::remove_all(dir); }
            } cleanup{dir};
            return true;
        }();
        (void)done;
    }

    // What was logged since the capture began.
    std::string Since() const { return Text().substr(offset_); }
    bool Contains(const std::string& text) const { return Since().find(text) != std::string::npos; }
    std::size_t Count(const std::string& text) const {
        const std::string s = Since();
        std::size_t n = 0;
        for (auto pos = s.find(text); pos != std::string::npos; pos = s.find(text, pos + 1))
            ++n;
        return n;
    }
    bool WaitFor(const std::string& text) const {
        return testing_support::WaitFor([&] { return Contains(text); });
    }

  private:
    static std::string& Name() {
        static std::string name;
        return name;
    }
    static std::string Text() {
        std::ifstream f(paths::LogDir() + "/" + Name());
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    std::size_t offset_;
};

}  // namespace testing_support
