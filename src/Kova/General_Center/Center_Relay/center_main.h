// The center program: one process per domain and host.
#pragma once
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace General_Center {

// Start, serve until the stop event is set, tear down. 0, or -1 when another center
// of the domain lives.
int center_main(domain_t in_domain);
// Command line: domain-port [debug].
int main(int argc, char** argv);

}  // namespace General_Center
}  // namespace Kova
