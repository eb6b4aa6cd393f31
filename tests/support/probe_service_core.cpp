// Runs the service's core in a thread so that a test can end it, which nothing in the
// system does.
//   probe_service_core <memsize>     from the directory it was copied to
// Commands: end (answers "ended" once memory_service has returned)
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "Kova/General_Service/Global/class_service.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const unsigned size = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    std::thread core([size] { Kova::General_Service::g_service.memory_service(size); });
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "end") {
            Kova::General_Service::g_service.end_service();
            core.join();
            std::printf("ended\n");
            std::fflush(stdout);
            return 0;
        }
    }
    core.detach();
    return 0;
}
