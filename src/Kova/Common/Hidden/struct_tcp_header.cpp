#include "Kova/Common/Hidden/struct_tcp_header.h"

#include <cstring>

namespace Kova {

namespace {
const char c_sentence[] = "I am vimraade. I wanna drink vimraade.";
static_assert(sizeof(c_sentence) == 39, "38 characters and a NUL");
}  // namespace

struct_tcp_header::struct_tcp_header() : dummy(), port_of_sender(0), port_of_receiver(0) { set_string(); }

void struct_tcp_header::set_string() { std::memcpy(dummy, c_sentence, sizeof(c_sentence)); }

}  // namespace Kova
