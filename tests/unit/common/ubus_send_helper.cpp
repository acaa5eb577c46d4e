// Sends COUNT events {"seq":i} of TYPE, each with a Sender of its own, as the daemons do.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ubus.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TYPE COUNT\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[2]);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        ubus::Sender sender(30);
        if (!sender.SendEvent(argv[1], "{\"seq\":" + std::to_string(i) + "}"))
            ++failed;
    }
    return failed == 0 ? 0 : 1;
}
