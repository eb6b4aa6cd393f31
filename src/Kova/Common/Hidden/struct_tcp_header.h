// The 1024-byte record each center sends once at the start of a TCP connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

struct struct_tcp_header {
    static constexpr std::size_t c_dummy_size = 1020;

    char_t dummy[c_dummy_size];  // fixed sentence, NUL, zeros
    port_t port_of_sender;       // the sender's local port of the connection
    port_t port_of_receiver;     // the other end's port as the sender sees it

    struct_tcp_header();

    // Writes the sentence and its NUL again; the rest is untouched.
    void set_string();

    void set_port_of_sender(port_t in_port) { port_of_sender = in_port; }
    void set_port_of_receiver(port_t in_port) { port_of_receiver = in_port; }
    port_t get_port_of_sender() const { return port_of_sender; }
    port_t get_port_of_receiver() const { return port_of_receiver; }
    static std::size_t get_size() { return sizeof(struct_tcp_header); }
};

static_assert(sizeof(struct_tcp_header) == 1024, "tcp init record is 1024 bytes");
static_assert(std::is_standard_layout<struct_tcp_header>::value, "tcp init record layout");
static_assert(std::is_trivially_copyable<struct_tcp_header>::value, "tcp init record is copied as bytes");
static_assert(offsetof(struct_tcp_header, dummy) == 0, "dummy");
static_assert(offsetof(struct_tcp_header, port_of_sender) == 1020, "port_of_sender");
static_assert(offsetof(struct_tcp_header, port_of_receiver) == 1022, "port_of_receiver");

}  // namespace Kova
