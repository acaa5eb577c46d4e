// Preloaded into a hand-built rpcd for tests: its uci cursor reads and commits the config
// files of GATEWAY_UCI_CONFDIR instead of /etc/config, and keeps the changes staged by local
// calls (libuci's /tmp/.uci) in GATEWAY_UCI_SAVEDIR, so that tests running side by side
// never share a store. rpcd has no option for either folder.

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

struct uci_context;

extern "C" {

uci_context* uci_alloc_context() {
    using Alloc = uci_context* (*)();
    using SetDir = int (*)(uci_context*, const char*);
    static const auto next = reinterpret_cast<Alloc>(dlsym(RTLD_NEXT, "uci_alloc_context"));
    uci_context* ctx = next != nullptr ? next() : nullptr;
    const char* dir = std::getenv("GATEWAY_UCI_CONFDIR");
    if (ctx != nullptr && dir != nullptr) {
        if (auto set = reinterpret_cast<SetDir>(dlsym(RTLD_NEXT, "uci_set_confdir")))
            set(ctx, dir);
    }
    return ctx;
}

int uci_set_savedir(uci_context* ctx, const char* dir) {
    using SetDir = int (*)(uci_context*, const char*);
    static const auto next = reinterpret_cast<SetDir>(dlsym(RTLD_NEXT, "uci_set_savedir"));
    const char* own = std::getenv("GATEWAY_UCI_SAVEDIR");
    if (own != nullptr && dir != nullptr && std::strcmp(dir, "/tmp/.uci") == 0)
        dir = own;
    return next != nullptr ? next(ctx, dir) : -1;
}
}
