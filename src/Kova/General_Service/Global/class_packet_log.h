// The service's log writer: turns the debug records of the host into CSV rows, releases the
// references they hold, and carries out the loader's reset order.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Service/Global/class_reset_gate.h"
#include "Pimo/IPC/interface_pipe.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Kova {
namespace General_Service {
namespace Global {

struct struct_log_settings {
    bool log;          // write the rotating log
    bool time;         // name it after the local time
    bool command;      // command packets in app.csv and the rotating log
    bool information;  // information packets in app.csv and the rotating log

    // Without a file or a key, everything is logged and the rotating log is log.csv.
    static struct_log_settings read(const char* in_ini_path);
};

class class_packet_log {
public:
    static constexpr int c_rotation = 100000;
    // Records taken from the channel under one hold of its lock.
    static constexpr std::size_t c_batch = 64;
    // Microseconds the thread lets records gather after a batch that did not fill up.
    static constexpr unsigned c_gather_us = 1000;
    static const char* const c_header_line;  // the 170-byte first line of every file

    // in_directory ends with "/". in_own_pid is the only sender whose reset order counts.
    class_packet_log(Pimo::Memory::class_dynamic_shared_ref_memory* pin_memory, class_reset_gate* pin_gate,
                     Pimo::OS::process_id_t in_own_pid, const std::string& in_directory,
                     const struct_log_settings& in_settings);
    ~class_packet_log();
    class_packet_log(const class_packet_log&) = delete;
    class_packet_log& operator=(const class_packet_log&) = delete;

    // Where the marks taken are told as written (the service's own channel); without it, marks
    // are only passed over.
    void set_mark_channel(General_Common::IPC::class_debug_ipc* pin_channel) { mp_marks = pin_channel; }
    // object.csv and app.csv with their header lines.
    void proc_open();
    void proc_close();
    // Reads in_pipe until it is shut down, up to c_batch records at a time; 0.
    int run(Pimo::IPC::interface_pipe& in_pipe);
    // Records taken together, in order: the rotation before each but the first (the caller
    // rotates before it takes them), rows, releases, reset order. A reset drops the rest of the
    // batch and what waits in in_pipe.
    void proc_batch(const struct_debug_token* pin_records, std::size_t in_count, Pimo::IPC::interface_pipe& in_pipe);
    void proc_record(const struct_debug_token& in_record, Pimo::IPC::interface_pipe& in_pipe) {
        proc_batch(&in_record, 1, in_pipe);
    }
    // Before the next record: the rotation step.
    void proc_rotate_if_due();

    int get_counter() const { return m_counter; }
    unsigned long get_reset_count() const { return m_resets; }

private:
    // Under one hold of the memory's lock, for each record: copies its packet out of its header
    // block when the handle names one (out_has_packet false when it names nothing usable), then
    // releases the record's references. The rows are made from the copies.
    void take_packets(const struct_debug_token* pin_records, std::size_t in_count, struct_packet* pout_packets,
                      bool* pout_has_packet);
    void release_locked(Pimo::Memory::mm_t in_mm);
    // The rows of one record, from its packet's copy.
    void write_rows(const struct_debug_token& in_record, const struct_packet& in_packet, bool in_has_packet);
    bool test_reset_order(const struct_debug_token& in_record) const;
    // A mark makes no row: it is told as written, every record before it being done. True for a mark.
    bool proc_mark(const struct_debug_token& in_record);
    void proc_reset(Pimo::IPC::interface_pipe& in_pipe);
    // Carries out a reset order of this service's loader, when the record is one and still current;
    // true when the memory was reset.
    bool proc_reset_order(const struct_debug_token& in_record, Pimo::IPC::interface_pipe& in_pipe);

    // The three row writers of a record, one file each: object.csv, app.csv, the rotating log.
    struct struct_entry;
    void write_object_row(const struct_entry& in_entry);
    void write_app_row(struct_entry& in_entry);
    void write_log_row(struct_entry& in_entry);
    const char* get_data_row(struct_entry& in_entry) const;

    int format_prefix(char* out_row, std::size_t in_size, const char* in_stamp,
                      const struct_debug_token& in_record, double in_limit, double in_live) const;
    int format_packet_row(char* out_row, std::size_t in_size, const char* in_stamp,
                          const struct_debug_token& in_record, const struct_packet& in_packet,
                          bool in_code_by_name) const;
    std::FILE* open_file(const char* in_name) const;
    static void write_line(std::FILE* pin_file, const char* in_text);

    Pimo::Memory::class_dynamic_shared_ref_memory* mp_memory;
    class_reset_gate* mp_gate;
    General_Common::IPC::class_debug_ipc* mp_marks = nullptr;
    Pimo::OS::process_id_t m_own_pid;
    std::string m_directory;
    struct_log_settings m_settings;
    std::FILE* mp_object;
    std::FILE* mp_app;
    std::FILE* mp_log;
    int m_counter;  // records since the last rotation or reset, below c_rotation
    unsigned long m_resets;
    // The log thread's buffers for one batch, made once.
    std::vector<struct_debug_token> m_batch;
    std::vector<struct_packet> m_packets;
};

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
