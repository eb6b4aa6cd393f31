#include "Kova/General_Service/Global/class_packet_log.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

#include "Kova/Common/Hidden/hidden_const.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Service/Global/kova_block_check.h"
#include "Kova/General_Service/Global/kova_service_global.h"
#include "Pimo/Utility/pimo_ini_file.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_local_time.h"

namespace Kova {
namespace General_Service {
namespace Global {

const char* const class_packet_log::c_header_line =
    "time,pid,debug,doc,msg,pk limit time,pk live time, src ip,mtct if ip,dest ip, src port, dst port, src id, "
    "dst id, type,code, header limit, header time, number,error,size\n";

namespace {

// Rows are built whole in one buffer: doc and str are bounded, the rest is numbers and names.
constexpr std::size_t c_row_size = 2048;

// Text fields of a record come from any process of the host: never trust their terminator.
int bounded(const char* in_field, std::size_t in_size) {
    return static_cast<int>(strnlen(in_field, in_size));
}

const char* dotted(ip_t in_ip, char (&out_text)[INET_ADDRSTRLEN]) {
    in_addr a;
    a.s_addr = in_ip;
    if (inet_ntop(AF_INET, &a, out_text, sizeof out_text) == nullptr) out_text[0] = 0;
    return out_text;
}

bool is_information_data(msg_type_t in_type) {
    return in_type == c_mt_information_udp || in_type == c_mt_information_tcp;
}
bool is_command_data(msg_type_t in_type) { return in_type == c_mt_command_udp || in_type == c_mt_command_tcp; }

bool is_object_event(const struct_debug_token& in_record, const struct_packet& in_packet) {
    if (in_record.type != 'C') return false;
    const msg_code_t code = in_packet.header.code;
    if (code == c_mccr_tcp_connected_from_client || code == c_mccr_tcp_disconnected_from_client ||
        code == c_mccr_tcp_connected_to_server || code == c_mccr_tcp_disconnected_from_server)
        return true;
    return in_packet.src_ip == c_local_host && in_packet.header.type == c_mt_ctrl &&
           (code == c_mccr_object_create || code == c_mccr_object_destroy || code == c_mccr_object_request);
}

}  // namespace

struct_log_settings struct_log_settings::read(const char* in_ini_path) {
    using Pimo::Utility::compare_from_ini_file;
    struct_log_settings s;
    s.log = !compare_from_ini_file(in_ini_path, c_str_ini_section, "LOG", "no");
    s.time = compare_from_ini_file(in_ini_path, c_str_ini_section, "LOG", "time");
    s.command = !compare_from_ini_file(in_ini_path, c_str_ini_section, "COMMAND_LOG", "no");
    s.information = !compare_from_ini_file(in_ini_path, c_str_ini_section, "INFORMATION_LOG", "no");
    return s;
}

class_packet_log::class_packet_log(Pimo::Memory::class_dynamic_shared_ref_memory* pin_memory,
                                   class_reset_gate* pin_gate, Pimo::OS::process_id_t in_own_pid,
                                   const std::string& in_directory, const struct_log_settings& in_settings)
    : mp_memory(pin_memory),
      mp_gate(pin_gate),
      m_own_pid(in_own_pid),
      m_directory(in_directory),
      m_settings(in_settings),
      mp_object(nullptr),
      mp_app(nullptr),
      mp_log(nullptr),
      m_counter(0),
      m_resets(0),
      m_batch(c_batch),
      m_packets(c_batch) {}

class_packet_log::~class_packet_log() { proc_close(); }

std::FILE* class_packet_log::open_file(const char* in_name) const {
    // Close-on-exec: the centers this service starts must not inherit its logs.
    return std::fopen((m_directory + in_name).c_str(), "wte");
}

void class_packet_log::write_line(std::FILE* pin_file, const char* in_text) {
    std::fputs(in_text, pin_file);
    std::fflush(pin_file);
}

void class_packet_log::proc_open() {
    mp_object = open_file("object.csv");
    if (mp_object) write_line(mp_object, c_header_line);
    mp_app = open_file("app.csv");
    if (mp_app) write_line(mp_app, c_header_line);
}

void class_packet_log::proc_close() {
    for (std::FILE** f : {&mp_log, &mp_object, &mp_app}) {
        if (*f) std::fclose(*f);
        *f = nullptr;
    }
}

void class_packet_log::proc_rotate_if_due() {
    if (m_counter != 0) return;
    if (mp_log) std::fclose(mp_log);
    mp_log = nullptr;
    if (!m_settings.log) return;
    std::string name;
    if (m_settings.time) {
        const Pimo::Utility::system_time_t t = Pimo::Utility::get_local_time();
        char text[64];
        std::snprintf(text, sizeof text, "%04d%02d%02d_%02d%02d%02d.csv", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond);
        name = text;
    } else {
        name = "log.csv";
    }
    mp_log = open_file(name.c_str());
    if (std::FILE* f = open_file("filename.txt")) {
        std::fputs((m_directory + name).c_str(), f);
        std::fclose(f);
    }
    if (mp_log) write_line(mp_log, c_header_line);
}

int class_packet_log::run(Pimo::IPC::interface_pipe& in_pipe) {
    for (;;) {
        proc_rotate_if_due();
        std::size_t taken = 0;
        if (in_pipe.eproc_receive_n(reinterpret_cast<Pimo::byte_t*>(m_batch.data()), sizeof(struct_debug_token),
                                    m_batch.size(), &taken) != Pimo::OS::c_vimra_success) {
            // Shut down; any other failure would repeat at once, so it ends the loop as well.
            break;
        }
        proc_batch(m_batch.data(), taken, in_pipe);
        // A batch that did not fill up came while the senders are busy with packets: let their next
        // records gather before the next take, instead of waking for each and competing for the
        // channel's and the memory's locks.
        if (taken < m_batch.size()) Pimo::OS::usleep(c_gather_us);
    }
    proc_close();
    return 0;
}

void class_packet_log::take_packets(const struct_debug_token* pin_records, std::size_t in_count,
                                    struct_packet* pout_packets, bool* pout_has_packet) {
    for (std::size_t i = 0; i < in_count; ++i) pout_has_packet[i] = false;
    if (mp_memory == nullptr) return;
    mp_memory->proc_stop();
    for (std::size_t i = 0; i < in_count; ++i) {
        const Pimo::Memory::mm_t header = pin_records[i].token.header_mm;
        // A handle that names no block of ours is left alone: freeing it would end the service.
        pout_has_packet[i] = header != 0 && test_allocated_block(*mp_memory, header, sizeof(struct_packet));
        if (pout_has_packet[i]) {
            std::memcpy(static_cast<void*>(&pout_packets[i]), mp_memory->get_addr(header), sizeof(struct_packet));
            release_locked(header);
        }
        release_locked(pin_records[i].token.data_mm);
    }
    mp_memory->proc_continue();
}

void class_packet_log::release_locked(Pimo::Memory::mm_t in_mm) {
    // Checked again: an earlier forged record may have freed the block.
    if (in_mm != 0 && test_allocated_block(*mp_memory, in_mm, 1)) mp_memory->safe_free(in_mm, __FILE__, __LINE__);
}

int class_packet_log::format_prefix(char* out_row, std::size_t in_size, const char* in_stamp,
                                    const struct_debug_token& in_record, double in_limit, double in_live) const {
    return std::snprintf(out_row, in_size, "%s,%d,%c,%.*s,%.*s,%lf,%lf,", in_stamp, in_record.pid, in_record.type,
                         bounded(in_record.doc, sizeof in_record.doc), in_record.doc,
                         bounded(in_record.str, sizeof in_record.str), in_record.str, in_limit, in_live);
}

int class_packet_log::format_packet_row(char* out_row, std::size_t in_size, const char* in_stamp,
                                        const struct_debug_token& in_record, const struct_packet& in_packet,
                                        bool in_code_by_name) const {
    const struct_header& h = in_packet.header;
    int n = format_prefix(out_row, in_size, in_stamp, in_record, in_packet.packet_limit_time,
                          in_packet.packet_live_time);
    char src[INET_ADDRSTRLEN], mct[INET_ADDRSTRLEN], dst[INET_ADDRSTRLEN];
    char code[16];
    if (in_code_by_name)
        std::snprintf(code, sizeof code, "%s", "");
    else
        std::snprintf(code, sizeof code, "%04x", static_cast<unsigned>(h.code));
    n += std::snprintf(out_row + n, in_size - n, "%s,%s,%s,%d,%d,%d,%d,%s,%s,%lf,%lf,%d,%d,%d\n",
                       dotted(in_packet.src_ip, src), dotted(in_packet.mct_if, mct), dotted(in_packet.dst_ip, dst),
                       static_cast<int>(h.sport), static_cast<int>(in_packet.dst_port), static_cast<int>(h.sid),
                       static_cast<int>(h.did), get_type_str(h.type),
                       in_code_by_name ? get_ctrl_code_str(h.code) : code, h.limit.get_time(), h.time.get_time(),
                       static_cast<int>(h.num), static_cast<int>(h.error), static_cast<int>(h.size));
    return n;
}

bool class_packet_log::test_reset_order(const struct_debug_token& in_record) const {
    // Only the loader of this very service orders a reset; anybody else's 'Z' is only logged.
    return in_record.type == 'Z' && in_record.pid == m_own_pid;
}

bool class_packet_log::proc_mark(const struct_debug_token& in_record) {
    Pimo::u_int64_t mark = 0;
    if (!General_Common::IPC::class_debug_ipc::get_mark(in_record, &mark)) return false;
    if (mp_marks) mp_marks->proc_note_mark(mark);
    return true;
}

void class_packet_log::proc_reset(Pimo::IPC::interface_pipe& in_pipe) {
    mp_memory->reset();
    ++m_resets;
    // What waited in the channel describes blocks that no longer exist: drop it unreleased. A
    // mark among it is done as well: nothing before it holds a block any more.
    struct_debug_token stale;
    while (in_pipe.eproc_pop(reinterpret_cast<Pimo::byte_t*>(&stale)) == Pimo::OS::c_vimra_success) proc_mark(stale);
    m_counter = 0;
}

// What one record gives the three row writers: its time stamp, its packet when the handle names
// one, and the packet row that app.csv and the rotating log share, built on first use.
struct class_packet_log::struct_entry {
    const struct_debug_token& record;
    char stamp[64];
    struct_packet packet;
    bool has_packet;
    bool left_out;  // a command or information packet whose log switch is off
    char data_row[c_row_size];
    bool data_row_built;

    explicit struct_entry(const struct_debug_token& in_record) : record(in_record), data_row_built(false) {}
};

const char* class_packet_log::get_data_row(struct_entry& in_entry) const {
    if (!in_entry.data_row_built)
        format_packet_row(in_entry.data_row, sizeof in_entry.data_row, in_entry.stamp, in_entry.record,
                          in_entry.packet, in_entry.packet.header.type == c_mt_ctrl);
    in_entry.data_row_built = true;
    return in_entry.data_row;
}

void class_packet_log::write_object_row(const struct_entry& in_entry) {
    if (!mp_object) return;
    const struct_debug_token& record = in_entry.record;
    char row[c_row_size];
    if (in_entry.has_packet) {
        if (is_object_event(record, in_entry.packet)) {
            format_packet_row(row, sizeof row, in_entry.stamp, record, in_entry.packet, true);
            std::fputs(row, mp_object);
        }
    } else if (record.type == 'K') {
        const domain_t domain =
            static_cast<domain_t>(std::strtoul(std::string(record.str, bounded(record.str, sizeof record.str)).c_str(), nullptr, 10));
        int n = format_prefix(row, sizeof row, in_entry.stamp, record, 0.0, 0.0);
        std::snprintf(row + n, sizeof row - n,
                      "127.0.0.1,127.0.0.1,127.0.0.1,%d,%d,0,65535,control,c_mccr_center_shutdown,"
                      "0.0,0.0,0,0,0\n",
                      static_cast<int>(domain), static_cast<int>(domain));
        std::fputs(row, mp_object);
    }
    std::fflush(mp_object);
}

void class_packet_log::write_app_row(struct_entry& in_entry) {
    if (!mp_app) return;
    const bool app_kind = in_entry.record.type == 'O' || in_entry.record.type == 'o';
    if (in_entry.has_packet && app_kind && !in_entry.left_out) std::fputs(get_data_row(in_entry), mp_app);
    std::fflush(mp_app);
}

void class_packet_log::write_log_row(struct_entry& in_entry) {
    if (!mp_log) return;
    const struct_debug_token& record = in_entry.record;
    if (in_entry.has_packet) {
        const bool filtered_kind = record.type == 'O' || record.type == 'o' || record.type == 'M';
        if (!(filtered_kind && in_entry.left_out)) std::fputs(get_data_row(in_entry), mp_log);
    } else {
        char short_row[c_row_size];
        std::snprintf(short_row, sizeof short_row, "%s,%d,%c,%.*s,%.*s\n", in_entry.stamp, record.pid, record.type,
                      bounded(record.doc, sizeof record.doc), record.doc, bounded(record.str, sizeof record.str),
                      record.str);
        std::fputs(short_row, mp_log);
    }
    std::fflush(mp_log);
}

bool class_packet_log::proc_reset_order(const struct_debug_token& in_record, Pimo::IPC::interface_pipe& in_pipe) {
    if (!test_reset_order(in_record) || mp_memory == nullptr) return false;
    bool reset = false;
    if (mp_gate == nullptr) {
        proc_reset(in_pipe);
        reset = true;
    } else {
        // The order carries the loader's epoch after its text.
        const char* tail = in_record.str + bounded(in_record.str, sizeof in_record.str) + 1;
        if (tail < in_record.str + sizeof in_record.str && *tail) {
            const Pimo::u_int32_t epoch = static_cast<Pimo::u_int32_t>(std::strtoul(
                std::string(tail, bounded(tail, in_record.str + sizeof in_record.str - tail)).c_str(), nullptr, 10));
            reset = mp_gate->run_if_current(epoch, [&] { proc_reset(in_pipe); });
        }
    }
    // The order counts as the first record after the reset.
    if (reset) m_counter = 1;
    return reset;
}

void class_packet_log::write_rows(const struct_debug_token& in_record, const struct_packet& in_packet,
                                  bool in_has_packet) {
    struct_entry entry(in_record);
    const Pimo::Utility::system_time_t t = Pimo::Utility::get_local_time();
    std::snprintf(entry.stamp, sizeof entry.stamp, "%04d_%02d_%02d %02d_%02d_%02d %d", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    entry.has_packet = in_has_packet;
    if (in_has_packet) entry.packet = in_packet;
    const msg_type_t type = entry.has_packet ? entry.packet.header.type : c_mt_null;
    entry.left_out = (is_information_data(type) && !m_settings.information) ||
                     (is_command_data(type) && !m_settings.command);

    write_object_row(entry);
    write_app_row(entry);
    write_log_row(entry);
}

void class_packet_log::proc_batch(const struct_debug_token* pin_records, std::size_t in_count,
                                  Pimo::IPC::interface_pipe& in_pipe) {
    struct_packet* packets = m_packets.data();
    bool has_packet[c_batch];
    for (std::size_t from = 0; from < in_count;) {
        // Up to the next reset order: what follows it waits until the order is decided.
        std::size_t to = from;
        while (to < in_count && to - from < c_batch && !test_reset_order(pin_records[to])) ++to;
        if (to < in_count && to - from < c_batch) ++to;
        take_packets(pin_records + from, to - from, packets, has_packet);
        for (std::size_t i = from; i < to; ++i) {
            if (proc_mark(pin_records[i])) continue;
            if (i != 0) proc_rotate_if_due();
            write_rows(pin_records[i], packets[i - from], has_packet[i - from]);
            if (proc_reset_order(pin_records[i], in_pipe)) return;  // the rest described blocks now gone
            if (++m_counter >= c_rotation) m_counter = 0;
        }
        from = to;
    }
}

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
