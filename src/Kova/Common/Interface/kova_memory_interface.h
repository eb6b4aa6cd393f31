// Packet blocks in the process's packet memory (gp_memory): conversions,
// allocation, references and release. Allocation, release and added references
// pass the caller's file and line and send trace records to the service's log.
#pragma once

#include <cstddef>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/Memory/interface_memory.h"

namespace Kova {
namespace Common {
namespace Interface {

using Pimo::Memory::mm_t;
using Pimo::Memory::ref_count_t;

// Bytes of the record area in front of a data block's payload.
constexpr std::size_t c_data_offset = 72;
// Bytes that must stay free after a data block is granted.
constexpr std::size_t c_data_reserve = 65535;

// Conversions: no trace, no reference change; handle 0 and null map to each other.
struct_packet* get_header(const struct_token& in_token);
struct_packet* get_header(mm_t in_mm);
void* get_data(const struct_token& in_token);
void* get_data(mm_t in_mm);
void* get_ptr(mm_t in_mm);
mm_t get_data_mm(const void* pin_data);
mm_t get_ptr_mm(const void* pin_ptr);
std::size_t get_data_size(mm_t in_mm);
// The payload size a callback may be handed: the header's size is the sender's word,
// the data block is what is really there (0 without one).
pksize_t get_payload_size(const struct_token& in_token);
std::size_t get_ptr_size(mm_t in_mm);
bool is_clean_memory(mm_t in_mm);
bool traverse_check(mm_t in_mm);

// 0 or c_kova_err_empty_kova_memory.
kova_err_t eproc_alloc_header(mm_t& pout_mm, const char* in_file, int in_line);
kova_err_t eproc_alloc_header(struct_token& pout_token, const char* in_file, int in_line);
// A data block is granted only if c_data_reserve bytes stay free afterwards.
kova_err_t eproc_alloc_data(mm_t& pout_mm, std::size_t in_size, const char* in_file, int in_line);
kova_err_t eproc_alloc_data(struct_token& pout_token, std::size_t in_size, const char* in_file, int in_line);
// What the token lacks of a packet: a header block, then a data block for in_size bytes when
// in_size is not 0 and the header is there; both under one hold of the memory's lock, their
// records queued together. 0, or c_kova_err_empty_kova_memory while something is missing (what
// was granted stays in the token).
kova_err_t eproc_alloc_packet(struct_token& pout_token, std::size_t in_size, const char* in_file, int in_line);
// Wait in steps of 100 ms until the allocation succeeds.
void proc_alloc_header_force(mm_t& pout_mm, const char* in_file, int in_line);
void proc_alloc_header_force(struct_token& pout_token, const char* in_file, int in_line);
void proc_alloc_data_force(mm_t& pout_mm, std::size_t in_size, const char* in_file, int in_line);
// A fan-out copy: a header block (waiting as proc_alloc_header_force does) sharing in_data, when
// not 0, by an added reference; both under one hold of the memory's lock, their records together.
struct_token proc_alloc_copy_force(mm_t in_data, const char* in_file, int in_line);
// in_count such copies into pout_copies, under as few holds of the memory's lock as can be.
void proc_alloc_copies_force(mm_t in_data, std::size_t in_count, struct_token* pout_copies, const char* in_file,
                             int in_line);

// The error return of a packet: its record copied without the data pointer, turned around with
// in_error by the backward error switch (addresses and domains exchanged, size 0), in a new
// header block, waiting in steps of 100 ms until the memory grants one. pout_return is left
// empty when the packet's type has no error return. The packet itself is not touched.
void proc_alloc_error_return(const struct_packet& in_packet, kova_err_t in_error, struct_token& pout_return,
                             const char* in_file, int in_line);

// Release the caller's reference and clear the handle; 0 does nothing but the trace.
void safe_free_header(struct_token& pin_token, const char* in_file, int in_line);
void safe_free_data(struct_token& pin_token, const char* in_file, int in_line);
void safe_free_token(struct_token& pin_token, const char* in_file, int in_line);
void safe_free_mm(mm_t& pin_mm, const char* in_file, int in_line);
// Add one reference; the new count (0 for handle 0).
ref_count_t safe_add_ref_mm(mm_t in_mm, const char* in_file, int in_line);
ref_count_t safe_add_ref_header(const struct_token& in_token, const char* in_file, int in_line);
ref_count_t safe_add_ref_data(const struct_token& in_token, const char* in_file, int in_line);
void safe_add_ref_token(struct_token& in_token, const char* in_file, int in_line);

}  // namespace Interface
}  // namespace Common
}  // namespace Kova
