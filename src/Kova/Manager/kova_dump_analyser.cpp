#include "Kova/Manager/kova_dump_analyser.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Kova/Common/Hidden/hidden_const.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/kova_utility/kova_utility.h"
#include "Pimo/Memory/heap_record.h"

namespace Kova {
namespace General {
namespace Manager {

namespace {

using Pimo::Memory::HEAP_BLOCK;
using Pimo::Memory::HEAP_HEADER;

// Offsets of the packet fields from the start of a block's payload.
constexpr u_int64_t c_pk_src_ip = offsetof(struct_packet, src_ip);
constexpr u_int64_t c_pk_dst_ip = offsetof(struct_packet, dst_ip);
constexpr u_int64_t c_pk_dst_port = offsetof(struct_packet, dst_port);
constexpr u_int64_t c_pk_type = offsetof(struct_packet, header) + offsetof(struct_header, type);
constexpr u_int64_t c_pk_sport = offsetof(struct_packet, header) + offsetof(struct_header, sport);
constexpr u_int64_t c_pk_code = offsetof(struct_packet, header) + offsetof(struct_header, code);
constexpr u_int64_t c_pk_size = offsetof(struct_packet, header) + offsetof(struct_header, size);
static_assert(c_pk_src_ip == 36 && c_pk_dst_ip == 40 && c_pk_dst_port == 46, "dump packet addresses");
static_assert(c_pk_type == 49 && c_pk_sport == 50 && c_pk_code == 56 && c_pk_size == 68, "dump packet header");

constexpr u_int32_t c_packet_size = sizeof(struct_packet);
constexpr u_int64_t c_block_size = Pimo::Memory::c_heap_block_size;
constexpr u_int64_t c_guard_size = Pimo::Memory::c_rear_guard_size;
const unsigned char c_rear_guard[c_guard_size] = {0, 1, 2, 3, 4, 5, 6, 7};
// What the reset writes over the first block's header: a block never allocated keeps it.
constexpr u_int32_t c_reset_fill = 0xCDCDCDCDu;
constexpr const char* c_past_end = "(past end of file)";

// Output gathered in large chunks: a dump of a big memory makes millions of lines.
class class_output {
public:
    explicit class_output(std::FILE* pout) : mp_out(pout), m_buf(1 << 20), m_used(0) {}
    ~class_output() { flush(); }

    void put(const char* in_format, ...) __attribute__((format(printf, 2, 3))) {
        for (int tries = 0; tries < 2; ++tries) {
            std::va_list args;
            va_start(args, in_format);
            const size_t room = m_buf.size() - m_used;
            const int n = std::vsnprintf(m_buf.data() + m_used, room, in_format, args);
            va_end(args);
            if (n < 0) return;
            if (static_cast<size_t>(n) < room) {
                m_used += static_cast<size_t>(n);
                return;
            }
            flush();
            if (static_cast<size_t>(n) >= m_buf.size()) m_buf.resize(static_cast<size_t>(n) + 1);
        }
    }
    void flush() {
        if (m_used) std::fwrite(m_buf.data(), 1, m_used, mp_out);
        m_used = 0;
        std::fflush(mp_out);
    }

private:
    std::FILE* mp_out;
    std::vector<char> m_buf;
    size_t m_used;
};

// The file's bytes; every read is checked against its length.
class class_dump_view {
public:
    class_dump_view(const unsigned char* pin_data, u_int64_t in_len) : mp_data(pin_data), m_len(in_len) {}

    u_int64_t size() const { return m_len; }
    const unsigned char* at(u_int64_t in_off) const { return mp_data + in_off; }
    bool fits(u_int64_t in_off, u_int64_t in_n) const { return in_off <= m_len && in_n <= m_len - in_off; }
    template <typename T>
    bool read(u_int64_t in_off, T& out) const {
        if (!fits(in_off, sizeof(T))) return false;
        std::memcpy(&out, mp_data + in_off, sizeof(T));
        return true;
    }

private:
    const unsigned char* mp_data;
    u_int64_t m_len;
};

void put_u32(class_output& out, const class_dump_view& in_view, const char* in_prefix, const char* in_label,
             u_int64_t in_off) {
    u_int32_t v = 0;
    if (in_view.read(in_off, v))
        out.put("%s%s%u\n", in_prefix, in_label, v);
    else
        out.put("%s%s%s\n", in_prefix, in_label, c_past_end);
}

// The packet record's fields at the start of a payload.
void put_packet_fields(class_output& out, const class_dump_view& in_view, const char* in_prefix, u_int64_t in_payload) {
    ip_t ip = 0;
    domain_t port = 0;
    if (in_view.read(in_payload + c_pk_src_ip, ip) && in_view.read(in_payload + c_pk_sport, port))
        out.put("%ssrc = %s:%u\n", in_prefix, Kova::inet_ntoa(ip), static_cast<unsigned>(port));
    else
        out.put("%ssrc = %s\n", in_prefix, c_past_end);
    if (in_view.read(in_payload + c_pk_dst_ip, ip) && in_view.read(in_payload + c_pk_dst_port, port))
        out.put("%sdst = %s:%u\n", in_prefix, Kova::inet_ntoa(ip), static_cast<unsigned>(port));
    else
        out.put("%sdst = %s\n", in_prefix, c_past_end);
    msg_type_t type = 0;
    const bool has_type = in_view.read(in_payload + c_pk_type, type);
    if (has_type)
        out.put("%stype = %s\n", in_prefix, get_type_str(type));
    else
        out.put("%stype = %s\n", in_prefix, c_past_end);
    msg_code_t code = 0;
    if (has_type && in_view.read(in_payload + c_pk_code, code))
        out.put("%scode = %04X(%s)\n", in_prefix, static_cast<unsigned>(code),
                type == c_mt_ctrl ? get_ctrl_code_str(code) : "ICD");
    else
        out.put("%scode = %s\n", in_prefix, c_past_end);
    put_u32(out, in_view, in_prefix, "pksize = ", in_payload + c_pk_size);
}

void put_tree_links(class_output& out, const class_dump_view& in_view, const char* in_prefix, u_int64_t in_block) {
    put_u32(out, in_view, in_prefix, "len.key = ", in_block + offsetof(HEAP_BLOCK, len.key));
    put_u32(out, in_view, in_prefix, "len.right = ", in_block + offsetof(HEAP_BLOCK, len.right));
    put_u32(out, in_view, in_prefix, "len.left = ", in_block + offsetof(HEAP_BLOCK, len.left));
    put_u32(out, in_view, in_prefix, "ptr.key = ", in_block + offsetof(HEAP_BLOCK, ptr.key));
    put_u32(out, in_view, in_prefix, "ptr.right = ", in_block + offsetof(HEAP_BLOCK, ptr.right));
    put_u32(out, in_view, in_prefix, "ptr.left = ", in_block + offsetof(HEAP_BLOCK, ptr.left));
}

// A damaged block: where the guard pattern first stands inside it, the fields are shown
// again read at the block start shifted by 0, 4, ... 28 bytes, to help tell an overrun from a
// shifted header.
void put_damage_detail(class_output& out, const class_dump_view& in_view, u_int64_t in_block, u_int32_t in_len) {
    if (!in_view.fits(in_block, 1)) return;
    u_int64_t span = in_view.size() - in_block;
    if (span > static_cast<u_int64_t>(in_len) + c_guard_size - 1) span = static_cast<u_int64_t>(in_len) + c_guard_size - 1;
    if (!memmem(in_view.at(in_block), static_cast<size_t>(span), c_rear_guard, sizeof c_rear_guard)) return;
    static const char* const prefix = "\tdurdy block ";
    for (u_int64_t shift = 0; shift < 32; shift += 4) {
        const u_int64_t b = in_block + shift;
        put_tree_links(out, in_view, prefix, b);
        put_u32(out, in_view, prefix, "next = ", b + offsetof(HEAP_BLOCK, next));
        put_u32(out, in_view, prefix, "prev = ", b + offsetof(HEAP_BLOCK, prev));
        put_u32(out, in_view, prefix, "ref = ", b + offsetof(HEAP_BLOCK, ref));
        put_u32(out, in_view, prefix, "alloc_size=", b + offsetof(HEAP_BLOCK, alloc_size));
        put_packet_fields(out, in_view, prefix, b + c_block_size);
        out.put("\n");
    }
}

void put_counters(class_output& out, const class_dump_view& in_view) {
    put_u32(out, in_view, "", "free = ", offsetof(HEAP_HEADER, free));
    put_u32(out, in_view, "", "alloc = ", offsetof(HEAP_HEADER, alloc));
    put_u32(out, in_view, "", "alloc_count = ", offsetof(HEAP_HEADER, alloc_count));
    put_u32(out, in_view, "", "refer_count = ", offsetof(HEAP_HEADER, refer_count));
    put_u32(out, in_view, "", "reset_count = ", offsetof(HEAP_HEADER, reset_count));
}

void walk_blocks(class_output& out, const class_dump_view& in_view) {
    u_int32_t alloc_count = 0;
    in_view.read(offsetof(HEAP_HEADER, alloc_count), alloc_count);
    u_int64_t count = 0;
    for (u_int64_t pos = Pimo::Memory::c_first_block; pos < in_view.size();) {
        HEAP_BLOCK b;
        if (!in_view.read(pos, b)) {
            out.put("block header at %llu %s\n", static_cast<unsigned long long>(pos), c_past_end);
            break;
        }
        const u_int64_t payload = pos + c_block_size;
        const u_int64_t guard = payload + b.alloc_size;
        const bool guard_in_file = in_view.fits(guard, c_guard_size);
        const bool never_allocated = b.ref == 0 && b.alloc_size == c_reset_fill;
        if (guard_in_file && !never_allocated && std::memcmp(in_view.at(guard), c_rear_guard, c_guard_size) != 0) {
            out.put("************************ detected durty block *****\n");
            put_tree_links(out, in_view, "block ", pos);
            put_damage_detail(out, in_view, pos, b.len.key);
            out.put("\n");
        }
        out.put("block %p  key=%u -------------\n", static_cast<const void*>(in_view.at(pos)), b.len.key);
        out.put("block next = %u(%s)\n", b.next, b.next ? "freed block" : "allocated block");
        out.put("block prev = %u\n", b.prev);
        out.put("block ref = %u\n", b.ref);
        out.put("block alloc_size=%u\n", b.alloc_size);
        if (guard_in_file) {
            const unsigned char* g = in_view.at(guard);
            out.put("block trailer = %u%u%u%u%u%u%u%u\n", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
        } else {
            out.put("block trailer = %s\n", c_past_end);
        }
        if (b.alloc_size == c_packet_size)
            out.put("block is for header\n");
        else
            out.put("block is data , pk_size is about %u\n", b.alloc_size - c_packet_size);
        put_packet_fields(out, in_view, "block ", payload);
        // A capacity of zero still steps over the header: the walk always moves forward.
        pos = payload + b.len.key;
        if (++count > alloc_count) out.put("block_it overflow\n");
    }
}

}  // namespace

int proc_analyse_dump(const char* in_file, std::FILE* pout) {
    class_output out(pout);
    out.put("%s analyze.\n", in_file);
    std::FILE* f = std::fopen(in_file, "rb");
    if (!f) return 0;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        out.put("%s is not a regular file\n", in_file);
        return 0;
    }
    const u_int64_t want = static_cast<u_int64_t>(st.st_size);
    unsigned char* data = nullptr;
    if (want < SIZE_MAX) data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(want ? want : 1)));
    if (!data) {
        std::fclose(f);
        out.put("%s is too large to read into memory (%llu bytes)\n", in_file, static_cast<unsigned long long>(want));
        return 0;
    }
    const size_t got = std::fread(data, 1, static_cast<size_t>(want), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        std::free(data);
        out.put("%s cannot be read\n", in_file);
        return 0;
    }
    out.flush();
    // A file that shrank while it was read is analysed as far as it was read.
    proc_analyse_memory(data, got, pout);
    std::free(data);
    return 0;
}

void proc_analyse_memory(const void* pin_data, std::uint64_t in_len, std::FILE* pout) {
    class_output out(pout);
    const class_dump_view view(static_cast<const unsigned char*>(pin_data), in_len);
    put_counters(out, view);
    walk_blocks(out, view);
    out.put("end block\n");
}

int cmd_dd(int in_argc, char** in_argv) {
    std::fflush(stdout);
    return proc_analyse_dump(in_argc > 0 ? in_argv[0] : c_str_dump_file, stdout);
}

}  // namespace Manager
}  // namespace General
}  // namespace Kova
