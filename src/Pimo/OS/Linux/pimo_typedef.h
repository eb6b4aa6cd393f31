// Base typedefs of the base library; the protocol core defines its own.
#pragma once

#include <cstdint>

namespace Pimo {

typedef std::uint8_t byte_t;
typedef std::int8_t int8_t;
typedef std::uint8_t u_int8_t;
typedef std::int16_t int16_t;
typedef std::uint16_t u_int16_t;
typedef std::int32_t int32_t;
typedef std::uint32_t u_int32_t;
typedef std::int64_t int64_t;
typedef std::uint64_t u_int64_t;

}  // namespace Pimo
