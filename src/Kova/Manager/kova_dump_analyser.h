// Offline analysis of a packet memory dump: the heap counters, then every block's header,
// rear guard and the packet fields at the start of its payload.
#pragma once

#include <cstdio>

#include <cstdint>

namespace Kova {
namespace General {
namespace Manager {

constexpr const char* c_str_dump_file = "shared_memory.dump";

// "dd [file]": analyses in_argv[0], or the dump in the current directory; returns 0.
int cmd_dd(int in_argc, char** in_argv);

// Prints the analysis of the dump file in_file to pout. The file may be truncated, random or
// damaged: nothing is read past its end and the walk always moves forward. Returns 0.
int proc_analyse_dump(const char* in_file, std::FILE* pout);
// The same over a dump already in memory: the counters, the blocks and "end block".
void proc_analyse_memory(const void* pin_data, std::uint64_t in_len, std::FILE* pout);

}  // namespace Manager
}  // namespace General
}  // namespace Kova
