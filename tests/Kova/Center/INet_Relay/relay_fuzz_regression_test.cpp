// Inputs of the relay fuzzer (fuzz/relay_fuzz.cpp) replayed in the ordinary suite: the seeds
// that reach each state and what the fuzzer found. Each must leave no block behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "relay_fuzz_driver.h"
#include "test_process.h"

namespace {

typedef std::vector<unsigned char> bytes_t;

bytes_t header(unsigned in_type, unsigned in_size, unsigned in_ver = 2, unsigned in_code = 7) {
    Kova::struct_header h{};
    h.init(in_size, 1, static_cast<Kova::msg_type_t>(in_type), static_cast<Kova::msg_code_t>(in_code), 0);
    h.set_ver(static_cast<Kova::version_t>(in_ver));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&h);
    return bytes_t(p, p + sizeof(h));
}

bytes_t init_record() {
    Kova::struct_tcp_header r;
    r.set_port_of_sender(40001);
    r.set_port_of_receiver(7100);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
    return bytes_t(p, p + sizeof(r));
}

bytes_t operator+(bytes_t a, const bytes_t& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes_t text(const char* in_text) { return bytes_t(in_text, in_text + std::strlen(in_text)); }

// Mode byte, then the stream cut into pieces of at most in_piece bytes.
bytes_t stream(unsigned char in_mode, const bytes_t& in_stream, size_t in_piece) {
    bytes_t out{in_mode};
    for (size_t i = 0; i < in_stream.size(); i += in_piece) {
        const size_t n = std::min(in_piece, in_stream.size() - i);
        out.push_back(static_cast<unsigned char>(n - 1));
        out.insert(out.end(), in_stream.begin() + i, in_stream.begin() + i + n);
    }
    return out;
}

bytes_t datagrams(const std::vector<bytes_t>& in_list) {
    bytes_t out{2};
    for (const bytes_t& d : in_list) {
        out.push_back(static_cast<unsigned char>(d.size()));
        out.insert(out.end(), d.begin(), d.end());
    }
    return out;
}

TEST(relay_fuzz_regression, every_input_leaves_the_packet_memory_as_it_found_it) {
    const std::string name = kova_test::unique_name("relay_fuzz_reg");
    kova_test::relay_fuzz_driver driver;
    const bytes_t init = init_record();
    ASSERT_TRUE(driver.open(name));
    const struct {
        const char* what;
        bytes_t input;
    } cases[] = {
        {"init then packets, heartbeat, stray ack", stream(0, init + header(48, 10) + text("0123456789") + header(0, 0) + header(36, 0), 200)},
        {"init one byte at a time", stream(0, init + header(32, 0), 1)},
        {"init cut short", stream(0, bytes_t(init.begin(), init.begin() + 1000), 100)},
        {"return, ack, huge size, short payload", stream(1, header(49, 5) + text("abcde") + header(33, 0) + header(48, 0xFFFFFFF0) + text("zz"), 7)},
        {"wrong version", stream(1, header(32, 0, 1), 24)},
        {"local-only controls", stream(1, header(1, 0, 2, 0x8006) + header(1, 3, 2, 5) + text("abc") + header(0, 4) + text("wxyz"), 9)},
        {"datagrams", datagrams({header(16, 0), header(16, 10) + text("0123456789"), bytes_t(), bytes_t(20, 'y'),
                                 header(48, 10) + text("y"), header(16, 2) + text("123456789"), header(16, 0, 1)})},
    };
    for (const auto& c : cases) EXPECT_EQ(driver.run(c.input.data(), c.input.size()), 0u) << c.what;
    driver.close();
    kova_test::remove_shm_containing(name);
}

}  // namespace
