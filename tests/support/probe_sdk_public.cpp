// An application that sees only the installed interface of the SDK library.
// Commands: init | finalize | hook | segv | wait | exit
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "Kova/kova.h"

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

void hook(int in_signal) { std::printf("hook %d\n", in_signal); }

}  // namespace

int main() {
    std::string cmd;
    say("pid " + std::to_string(getpid()));
    while (std::getline(std::cin, cmd)) {
        if (cmd == "exit") break;
        if (cmd == "init") {
            Kova::initialize();
            say("initialized");
        } else if (cmd == "finalize") {
            Kova::finalize();
            say("finalized");
        } else if (cmd == "hook") {
            Kova::sigint_func_ = hook;
            Kova::sigseg_func_ = hook;
            say("hooked");
        } else if (cmd == "segv") {
            raise(SIGSEGV);
            say("survived");
        } else if (cmd == "error") {
            say("error " + std::to_string(Kova::get_last_error()));
        }
    }
    Kova::finalize();
    return 0;
}
