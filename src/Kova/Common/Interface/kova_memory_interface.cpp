#include "Kova/Common/Interface/kova_memory_interface.h"

#include <cstdint>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/Memory/class_memory_hold.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace Common {
namespace Interface {

using Global::class_debug_records;
using Global::gp_memory;
using Global::kova_debug_send;

static_assert(c_data_offset == sizeof(struct_packet), "a data block starts with a record area");

struct_packet* get_header(const struct_token& in_token) { return get_header(in_token.header_mm); }

struct_packet* get_header(mm_t in_mm) { return static_cast<struct_packet*>(get_ptr(in_mm)); }

void* get_data(const struct_token& in_token) { return get_data(in_token.data_mm); }

void* get_data(mm_t in_mm) {
    if (in_mm == 0) return nullptr;
    return static_cast<byte_t*>(gp_memory->get_addr(in_mm)) + c_data_offset;
}

void* get_ptr(mm_t in_mm) { return in_mm == 0 ? nullptr : gp_memory->get_addr(in_mm); }

mm_t get_data_mm(const void* pin_data) {
    if (pin_data == nullptr) return 0;
    return gp_memory->get_mm(static_cast<const byte_t*>(pin_data) - c_data_offset);
}

mm_t get_ptr_mm(const void* pin_ptr) { return pin_ptr == nullptr ? 0 : gp_memory->get_mm(pin_ptr); }

std::size_t get_data_size(mm_t in_mm) { return gp_memory->get_size(in_mm) - c_data_offset; }

pksize_t get_payload_size(const struct_token& in_token) {
    if (!in_token.has_data() || !in_token.has_header()) return 0;
    const std::size_t capacity = get_data_size(in_token.data_mm);
    const pksize_t size = get_header(in_token)->get_data_size();
    return size > capacity ? static_cast<pksize_t>(capacity) : size;
}

std::size_t get_ptr_size(mm_t in_mm) { return gp_memory->get_size(in_mm); }

bool is_clean_memory(mm_t in_mm) { return gp_memory->is_clean_memory(in_mm); }

bool traverse_check(mm_t in_mm) { return gp_memory->traverse_check(in_mm); }

namespace {

// The blocks alone, without a trace: true when granted.
bool alloc_header_block(mm_t& pout_mm, const char* in_file, int in_line) {
    mm_t mm = 0;
    if (gp_memory->eproc_alloc(mm, sizeof(struct_packet), in_file, in_line) != Pimo::OS::c_vimra_success || mm == 0)
        return false;
    pout_mm = mm;
    return true;
}

bool alloc_data_block(mm_t& pout_mm, std::size_t in_size, const char* in_file, int in_line) {
    // Handles are 32-bit offsets, so no memory can hold more than this. Sizes come
    // from peers on the network: refuse rather than let the heap truncate them.
    const std::size_t c_largest = UINT32_MAX - c_data_offset - c_data_reserve;
    if (in_size > c_largest) return false;
    mm_t mm = 0;
    if (gp_memory->eproc_alloc_2(mm, in_size + c_data_offset, c_data_reserve, in_file, in_line) !=
            Pimo::OS::c_vimra_success ||
        mm == 0)
        return false;
    pout_mm = mm;
    return true;
}

void add_header_record(class_debug_records& in_records, mm_t in_mm, const char* in_file, int in_line) {
    in_records.add('A', struct_token(), in_file, in_line, "alloc header %u", in_mm);
}

void add_data_record(class_debug_records& in_records, mm_t in_mm, std::size_t in_size, const char* in_file,
                     int in_line) {
    in_records.add('A', struct_token(), in_file, in_line, "alloc data - %u size %zu", in_mm, in_size);
}

}  // namespace

kova_err_t eproc_alloc_header(mm_t& pout_mm, const char* in_file, int in_line) {
    if (!alloc_header_block(pout_mm, in_file, in_line)) return c_kova_err_empty_kova_memory;
    class_debug_records records;
    add_header_record(records, pout_mm, in_file, in_line);
    records.proc_send();
    return c_kova_success;
}

kova_err_t eproc_alloc_header(struct_token& pout_token, const char* in_file, int in_line) {
    return eproc_alloc_header(pout_token.header_mm, in_file, in_line);
}

kova_err_t eproc_alloc_data(mm_t& pout_mm, std::size_t in_size, const char* in_file, int in_line) {
    if (!alloc_data_block(pout_mm, in_size, in_file, in_line)) return c_kova_err_empty_kova_memory;
    class_debug_records records;
    add_data_record(records, pout_mm, in_size, in_file, in_line);
    records.proc_send();
    return c_kova_success;
}

kova_err_t eproc_alloc_data(struct_token& pout_token, std::size_t in_size, const char* in_file, int in_line) {
    return eproc_alloc_data(pout_token.data_mm, in_size, in_file, in_line);
}

kova_err_t eproc_alloc_packet(struct_token& pout_token, std::size_t in_size, const char* in_file, int in_line) {
    const bool header = !pout_token.has_header();
    const bool data = in_size != 0 && !pout_token.has_data();
    class_debug_records records;
    {
        Pimo::Memory::class_memory_hold hold(gp_memory, (header ? 1 : 0) + (data ? 1 : 0));
        if (header && alloc_header_block(pout_token.header_mm, in_file, in_line))
            add_header_record(records, pout_token.header_mm, in_file, in_line);
        if (data && pout_token.has_header() && alloc_data_block(pout_token.data_mm, in_size, in_file, in_line))
            add_data_record(records, pout_token.data_mm, in_size, in_file, in_line);
    }
    records.proc_send();
    return pout_token.has_header() && (in_size == 0 || pout_token.has_data()) ? c_kova_success
                                                                              : c_kova_err_empty_kova_memory;
}

void proc_alloc_header_force(mm_t& pout_mm, const char* in_file, int in_line) {
    while (eproc_alloc_header(pout_mm, in_file, in_line) != c_kova_success) Pimo::OS::msleep(100);
}

void proc_alloc_header_force(struct_token& pout_token, const char* in_file, int in_line) {
    proc_alloc_header_force(pout_token.header_mm, in_file, in_line);
}

void proc_alloc_data_force(mm_t& pout_mm, std::size_t in_size, const char* in_file, int in_line) {
    while (eproc_alloc_data(pout_mm, in_size, in_file, in_line) != c_kova_success) Pimo::OS::msleep(100);
}

struct_token proc_alloc_copy_force(mm_t in_data, const char* in_file, int in_line) {
    struct_token copy;
    ref_count_t count = 0;
    for (;;) {
        {
            Pimo::Memory::class_memory_hold hold(gp_memory, in_data != 0 ? 2 : 1);
            if (alloc_header_block(copy.header_mm, in_file, in_line) && in_data != 0)
                count = gp_memory->safe_add_ref(in_data, in_file, in_line);
        }
        if (copy.has_header()) break;
        Pimo::OS::msleep(100);
    }
    copy.data_mm = in_data;
    // proc_alloc_header_force, then safe_add_ref_mm of the data block.
    class_debug_records records;
    add_header_record(records, copy.header_mm, in_file, in_line);
    if (in_data != 0)
        records.add('F', struct_token(), in_file, in_line, "add ref - %u ref %llu", in_data,
                    static_cast<unsigned long long>(count));
    records.proc_send();
    return copy;
}

void proc_alloc_copies_force(mm_t in_data, std::size_t in_count, struct_token* pout_copies, const char* in_file,
                             int in_line) {
    // In chunks: their reference counts are kept for the records until the hold is over.
    constexpr std::size_t c_chunk = 32;
    ref_count_t counts[c_chunk];
    std::size_t done = 0;
    while (done < in_count) {
        const std::size_t want = in_count - done < c_chunk ? in_count - done : c_chunk;
        std::size_t made = 0;
        {
            Pimo::Memory::class_memory_hold hold(gp_memory, want * (in_data != 0 ? 2 : 1));
            for (; made < want; ++made) {
                struct_token& copy = pout_copies[done + made];
                copy.reset();
                if (!alloc_header_block(copy.header_mm, in_file, in_line)) break;
                counts[made] = in_data != 0 ? gp_memory->safe_add_ref(in_data, in_file, in_line) : 0;
                copy.data_mm = in_data;
            }
        }
        for (std::size_t i = 0; i < made; ++i) {
            class_debug_records records;
            add_header_record(records, pout_copies[done + i].header_mm, in_file, in_line);
            if (in_data != 0)
                records.add('F', struct_token(), in_file, in_line, "add ref - %u ref %llu", in_data,
                            static_cast<unsigned long long>(counts[i]));
            records.proc_send();
        }
        done += made;
        // The memory is full: the next one waits for it on its own.
        if (made < want) pout_copies[done++] = proc_alloc_copy_force(in_data, in_file, in_line);
    }
}

void proc_alloc_error_return(const struct_packet& in_packet, kova_err_t in_error, struct_token& pout_return,
                             const char* in_file, int in_line) {
    pout_return.reset();
    struct_packet turned = in_packet;
    turned.set_data(nullptr);  // a pointer of the process that set it, and no payload goes back
    if (!turned.backward_error_switch(in_error)) return;
    proc_alloc_header_force(pout_return, in_file, in_line);
    *get_header(pout_return) = turned;
}

namespace {

// One reference less on a block, with an 'F' record that describes in_described and names the
// block in in_format; the record is queued before the block goes. After the memory has gone (the
// SDK finalised), a free has nothing left to release: only the handle is cleared.
void free_traced(mm_t& pin_mm, const struct_token& in_described, const char* in_format, const char* in_file,
                 int in_line) {
    if (gp_memory == nullptr) {
        pin_mm = 0;
        return;
    }
    class_debug_records records;
    records.add('F', in_described, in_file, in_line, in_format, pin_mm);
    records.release_after(pin_mm);
    records.proc_send();
    pin_mm = 0;
}

}  // namespace

void safe_free_header(struct_token& pin_token, const char* in_file, int in_line) {
    if (gp_memory == nullptr) {
        pin_token.header_mm = 0;
        return;
    }
    // The record carries the token and holds the header block, with the caller's reference,
    // until it is logged.
    class_debug_records records;
    records.add_taking('F', pin_token, in_file, in_line, "free header - %u", pin_token.header_mm);
    records.proc_send();
    pin_token.header_mm = 0;
}

void safe_free_data(struct_token& pin_token, const char* in_file, int in_line) {
    free_traced(pin_token.data_mm, pin_token, "free data - %u", in_file, in_line);
}

void safe_free_token(struct_token& pin_token, const char* in_file, int in_line) {
    if (gp_memory == nullptr) {
        pin_token.reset();
        return;
    }
    // safe_free_header, then safe_free_data, with their records queued together.
    class_debug_records records;
    records.add_taking('F', pin_token, in_file, in_line, "free header - %u", pin_token.header_mm);
    struct_token data_only;
    data_only.data_mm = pin_token.data_mm;
    records.add('F', data_only, in_file, in_line, "free data - %u", pin_token.data_mm);
    records.release_after(pin_token.data_mm);
    records.proc_send();
    pin_token.reset();
}

void safe_free_mm(mm_t& pin_mm, const char* in_file, int in_line) {
    free_traced(pin_mm, struct_token(), "free mm - %u", in_file, in_line);
}

ref_count_t safe_add_ref_mm(mm_t in_mm, const char* in_file, int in_line) {
    if (gp_memory == nullptr) return 0;
    const ref_count_t count = gp_memory->safe_add_ref(in_mm, in_file, in_line);
    kova_debug_send('F', struct_token(), in_file, in_line, "add ref - %u ref %llu", in_mm,
                    static_cast<unsigned long long>(count));
    return count;
}

ref_count_t safe_add_ref_header(const struct_token& in_token, const char* in_file, int in_line) {
    return safe_add_ref_mm(in_token.header_mm, in_file, in_line);
}

ref_count_t safe_add_ref_data(const struct_token& in_token, const char* in_file, int in_line) {
    return safe_add_ref_mm(in_token.data_mm, in_file, in_line);
}

void safe_add_ref_token(struct_token& in_token, const char* in_file, int in_line) {
    if (gp_memory == nullptr) return;
    // safe_add_ref_header, then safe_add_ref_data: one hold of the memory, the records together.
    ref_count_t header = 0, data = 0;
    {
        Pimo::Memory::class_memory_hold hold(gp_memory, in_token.has_header() && in_token.has_data() ? 2 : 1);
        header = gp_memory->safe_add_ref(in_token.header_mm, in_file, in_line);
        data = gp_memory->safe_add_ref(in_token.data_mm, in_file, in_line);
    }
    class_debug_records records;
    records.add('F', struct_token(), in_file, in_line, "add ref - %u ref %llu", in_token.header_mm,
                static_cast<unsigned long long>(header));
    records.add('F', struct_token(), in_file, in_line, "add ref - %u ref %llu", in_token.data_mm,
                static_cast<unsigned long long>(data));
    records.proc_send();
}

}  // namespace Interface
}  // namespace Common
}  // namespace Kova
