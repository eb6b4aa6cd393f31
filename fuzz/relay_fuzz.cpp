// libFuzzer target: arbitrary bytes into the relay's TCP receive state machine and datagram
// receive (see tests/support/relay_fuzz_driver.h). A leak of packet memory counts as a crash.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "relay_fuzz_driver.h"
#include "test_process.h"

namespace {

std::string g_name;

void remove_memory() { kova_test::remove_shm_containing(g_name); }

kova_test::relay_fuzz_driver* driver() {
    static kova_test::relay_fuzz_driver* s_driver = [] {
        g_name = "kova_fuzz_relay_" + std::to_string(getpid());
        auto* d = new kova_test::relay_fuzz_driver();
        if (!d->open(g_name)) std::abort();
        std::atexit(remove_memory);
        return d;
    }();
    return s_driver;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in_data, size_t in_size) {
    if (driver()->run(in_data, in_size) != 0) std::abort();
    return 0;
}
