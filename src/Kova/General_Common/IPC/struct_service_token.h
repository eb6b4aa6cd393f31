// The 4-byte element of the service channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace General_Common {
namespace IPC {

struct struct_service_token {
    static constexpr std::uint16_t c_msg_start_center = 0;  // an application found no center pipe
    static constexpr std::uint16_t c_msg_center_up = 1;     // sent by the center after its start
    static constexpr std::uint16_t c_msg_center_gone = 2;   // sent by the service's watcher

    domain_t domain;
    std::uint16_t msg;
};

typedef struct_service_token service_token_t;

static_assert(sizeof(struct_service_token) == 4, "service token is 4 bytes");
static_assert(std::is_trivially_copyable<struct_service_token>::value, "service token is copied as bytes");
static_assert(offsetof(struct_service_token, domain) == 0 && offsetof(struct_service_token, msg) == 2,
              "service token layout");

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
