// The service's log writer: turns the debug records of the host into CSV rows, releases the
// references they hold, and carries out the loader's reset order.
#pragma once

#include <cstdio>
#include <string>

#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/struct_packet.h"
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
    static const char* const c_header_line;  // the 170-byte first line of every file

    // in_directory ends with "/". in_own_pid is the only sender whose reset order counts.
    class_packet_log(Pimo::Memory::class_dynamic_shared_ref_memory* pin_memory, class_reset_gate* pin_gate,
                     Pimo::OS::process_id_t in_own_pid, const std::string& in_directory,
                     const struct_log_settings& in_settings);
    ~class_packet_log();
    class_packet_log(const class_packet_log&) = delete;
    class_packet_log& operator=(const class_packet_log&) = delete;

    // object.csv and app.csv with their header lines.
    void proc_open();
    void proc_close();
    // Reads in_pipe until it is shut down; 0.
    int run(Pimo::IPC::interface_pipe& in_pipe);
    // One record: rotation, rows, release, reset order. in_pipe is drained after a reset.
    void proc_record(const struct_debug_token& in_record, Pimo::IPC::interface_pipe& in_pipe);
    // Before the next record: the rotation step.
    void proc_rotate_if_due();

    int get_counter() const { return m_counter; }
    unsigned long get_reset_count() const { return m_resets; }

private:
    // Copies the record's packet out of its header block when the handle names one; false when
    // it names nothing usable.
    bool read_packet(Pimo::Memory::mm_t in_mm, struct_packet& out_packet);
    void release(Pimo::Memory::mm_t in_mm);
    bool test_reset_order(const struct_debug_token& in_record) const;
    void proc_reset(Pimo::IPC::interface_pipe& in_pipe);
    // Carries out a reset order of this service's loader, when the record is one and still current.
    void proc_reset_order(const struct_debug_token& in_record, Pimo::IPC::interface_pipe& in_pipe);

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
    Pimo::OS::process_id_t m_own_pid;
    std::string m_directory;
    struct_log_settings m_settings;
    std::FILE* mp_object;
    std::FILE* mp_app;
    std::FILE* mp_log;
    int m_counter;  // records since the last rotation or reset, below c_rotation
    unsigned long m_resets;
};

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
