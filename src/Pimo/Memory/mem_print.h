// The fatal report of the shared packet heap.
#pragma once

namespace Pimo {
namespace Memory {

// Prints "title - text" on standard output and ends the process at once with status -1:
// no exit handlers, no destructors, the heap left as found for the other processes.
[[noreturn]] void mem_print(const char* _title_, const char* _text_);

// The same with the text "kova - pid(N)" naming this process.
[[noreturn]] void mem_print_pid(const char* in_title);

// The same for reports whose title carries a block's allocation site and whose text names
// this process; the site is read with a bounded width, whatever the block holds.
[[noreturn]] void mem_print_site(const char* in_title_format, const char* in_site);

}  // namespace Memory
}  // namespace Pimo
