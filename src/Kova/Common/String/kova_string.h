// File names the programs use to find one another.
#pragma once

namespace Kova {
namespace Common {
namespace String {

// The center program, started by the service from the service's own directory.
constexpr const char* str_kova_general_center_filename = "Kova_General_Center";

}  // namespace String
}  // namespace Common
}  // namespace Kova
