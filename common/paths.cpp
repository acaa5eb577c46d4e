#include "paths.h"

#include <cstdlib>

namespace paths {

namespace {
std::string UnderRunDir(const char* sub, const char* fallback) {
    const char* run = std::getenv(kRunDirEnv);
    if (run == nullptr || *run == '\0')
        return fallback;
    return std::string(run) + "/" + sub;
}
}  // namespace

std::string LogDir() {
    return UnderRunDir("log", "/var/log");
}

std::string TmpDir() {
    return UnderRunDir("tmp", "/tmp");
}

}  // namespace paths
