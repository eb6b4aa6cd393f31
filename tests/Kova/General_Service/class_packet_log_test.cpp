// The log writer in this process, over a packet memory and a debug channel of test names:
// rows and filters of the three files, rotation, references, untrusted records and resets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/hidden_const.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Service/Global/class_packet_log.h"
#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "test_process.h"

using namespace Kova;
using namespace Kova::General_Service::Global;
using Pimo::Memory::mm_t;

namespace {

constexpr Pimo::OS::process_id_t c_service_pid = 4242;

std::string read_file(const std::string& in_path) {
    std::ifstream f(in_path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& in_path) { return access(in_path.c_str(), F_OK) == 0; }

size_t lines_of(const std::string& in_text) {
    size_t n = 0;
    for (char c : in_text) n += c == '\n';
    return n;
}

struct_debug_token make_record(char in_kind, mm_t in_mm, const std::string& in_text,
                               Pimo::OS::process_id_t in_pid = 77) {
    struct_debug_token r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.type = in_kind;
    r.pid = in_pid;
    r.token.header_mm = in_mm;
    std::snprintf(r.doc, sizeof r.doc, "src/x - 9 lines");
    std::snprintf(r.str, sizeof r.str, "%s", in_text.c_str());
    return r;
}

class packet_log : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_memory.eproc_create(m_mem_name.c_str(), 1u << 20), 0);
        ASSERT_EQ(m_pipe.eproc_create(m_pipe_name.c_str(), 256, sizeof(struct_debug_token)), 0);
        mkdir(m_dir.c_str(), 0755);
        m_settings = {true, false, true, true};
    }
    void TearDown() override {
        m_log.reset();
        m_pipe.proc_destroy();
        m_memory.proc_destroy();
        kova_test::remove_shm_containing(m_mem_name);
        kova_test::remove_shm_containing(m_pipe_name);
        std::string cmd = "rm -rf '" + m_dir + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    class_packet_log& open(class_reset_gate* pin_gate = nullptr) {
        m_log.reset(new class_packet_log(&m_memory, pin_gate, c_service_pid, m_dir, m_settings));
        m_log->proc_open();
        return *m_log;
    }
    // A header block as the record's sender holds it: one reference of its own, one for the record.
    mm_t packet(msg_type_t in_type, msg_code_t in_code, const char* in_src = "127.0.0.1") {
        mm_t mm = 0;
        EXPECT_EQ(m_memory.eproc_alloc(mm, sizeof(struct_packet), __FILE__, __LINE__), 0);
        struct_packet* p = static_cast<struct_packet*>(m_memory.get_addr(mm));
        std::memset(static_cast<void*>(p), 0, sizeof *p);
        p->packet_limit_time = 2.0;
        p->packet_live_time = 0.5;
        p->src_ip = inet_addr(in_src);
        p->dst_ip = inet_addr("10.1.2.3");
        p->mct_if = inet_addr("0.0.0.0");
        p->dst_port = 7001;
        p->header.sport = 7000;
        p->header.type = in_type;
        p->header.code = in_code;
        p->header.sid = 0x8001;
        p->header.did = 5;
        p->header.num = 9;
        p->header.error = 3;
        p->header.size = 12;
        p->header.limit.set_time(1.0);
        p->header.time.set_time(0.5);
        m_memory.add_ref_get(mm, __FILE__, __LINE__);
        return mm;
    }
    void write(const struct_debug_token& in_record) {
        m_log->proc_rotate_if_due();
        m_log->proc_record(in_record, m_pipe);
    }
    std::string file(const char* in_name) const { return read_file(m_dir + in_name); }

    std::string m_mem_name = kova_test::unique_name("logmem");
    std::string m_pipe_name = kova_test::unique_name("logdbg");
    std::string m_dir = "/tmp/" + kova_test::unique_name("logdir") + "/";
    Pimo::Memory::class_dynamic_shared_ref_memory m_memory;
    Pimo::IPC::class_shared_pipe m_pipe;
    struct_log_settings m_settings;
    std::unique_ptr<class_packet_log> m_log;
};

}  // namespace

TEST_F(packet_log, object_csv_takes_local_object_controls_and_every_tcp_connection_event) {
    open();
    struct {
        char kind;
        msg_type_t type;
        msg_code_t code;
        const char* src;
        const char* code_name;  // null: no row in object.csv
    } cases[] = {
        {'C', c_mt_ctrl, c_mccr_object_create, "127.0.0.1", "c_mccr_object_create"},
        {'C', c_mt_ctrl, c_mccr_object_create, "10.0.0.1", nullptr},
        {'C', c_mt_ctrl, c_mccr_object_destroy, "127.0.0.1", "c_mccr_object_destroy"},
        {'C', c_mt_ctrl, c_mccr_object_request, "127.0.0.1", "c_mccr_object_request"},
        {'C', c_mt_ctrl, c_mccr_run_object, "127.0.0.1", nullptr},
        {'C', c_mt_call, c_mccr_tcp_disconnected_from_client, "10.0.0.1", "c_mccr_tcp_disconnected_from_client"},
        {'C', c_mt_ctrl, c_mccr_tcp_connected_to_server, "10.0.0.1", "c_mccr_tcp_connected_to_server"},
        {'A', c_mt_ctrl, c_mccr_object_create, "127.0.0.1", nullptr},
    };
    int i = 0;
    for (const auto& c : cases) write(make_record(c.kind, packet(c.type, c.code, c.src), "case" + std::to_string(i++)));
    const std::string object = file("object.csv");
    i = 0;
    for (const auto& c : cases) {
        const std::string tag = ",case" + std::to_string(i++) + ",";
        const size_t at = object.find(tag);
        if (!c.code_name) {
            EXPECT_EQ(at, std::string::npos) << tag;
            continue;
        }
        ASSERT_NE(at, std::string::npos) << tag;
        const std::string row = object.substr(at, object.find('\n', at) - at);
        EXPECT_EQ(row, tag + "2.000000,0.500000," + c.src + ",0.0.0.0,10.1.2.3,7000,7001,32769,5," +
                           get_type_str(c.type) + "," + c.code_name + ",1.000000,0.500000,9,3,12");
    }
    EXPECT_EQ(object.substr(0, 170), class_packet_log::c_header_line);
}

TEST_F(packet_log, a_center_stop_gets_its_domain_row_and_other_headerless_records_none) {
    open();
    write(make_record('K', 0, "3000"));
    write(make_record('A', 0, "no block"));
    const std::string object = file("object.csv");
    ASSERT_EQ(lines_of(object), 2u);
    const std::string row = object.substr(170);
    EXPECT_NE(row.find(",77,K,src/x - 9 lines,3000,0.000000,0.000000,127.0.0.1,127.0.0.1,127.0.0.1,3000,3000,0,65535,"
                       "control,c_mccr_center_shutdown,0.0,0.0,0,0,0\n"),
              std::string::npos)
        << row;
}

TEST_F(packet_log, the_rotating_log_has_every_record_and_codes_in_hex_outside_control) {
    open();
    write(make_record('A', packet(c_mt_call, 0x12ab, "10.0.0.9"), "call"));
    write(make_record('F', packet(c_mt_ctrl, c_mccr_object_create), "ctrl"));
    write(make_record('Z', 0, "reset", 999));
    const std::string log = file("log.csv");
    EXPECT_EQ(lines_of(log), 4u);
    EXPECT_NE(log.find(",A,src/x - 9 lines,call,2.000000,0.500000,10.0.0.9,0.0.0.0,10.1.2.3,7000,7001,32769,5," +
                       std::string(get_type_str(c_mt_call)) + ",12ab,1.000000"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(",F,src/x - 9 lines,ctrl,2.000000,0.500000,127.0.0.1,0.0.0.0,10.1.2.3,7000,7001,32769,5,"
                       "control,c_mccr_object_create,"),
              std::string::npos);
    EXPECT_NE(log.find(",999,Z,src/x - 9 lines,reset\n"), std::string::npos);
    EXPECT_EQ(file("app.csv"), class_packet_log::c_header_line) << "only 'O' and 'o' records go to app.csv";
    EXPECT_EQ(file("filename.txt"), m_dir + "log.csv");
}

TEST_F(packet_log, command_and_information_switches_filter_app_records) {
    struct {
        bool command, information;
        char kind;
        msg_type_t type;
        bool in_app, in_log;
    } cases[] = {
        {true, true, 'O', c_mt_information_udp, true, true},
        {true, false, 'O', c_mt_information_udp, false, false},
        {true, false, 'o', c_mt_information_tcp, false, false},
        {true, false, 'M', c_mt_information_tcp, false, false},
        {true, false, 'A', c_mt_information_tcp, false, true},  // other kinds always reach the log
        {false, true, 'O', c_mt_command_udp, false, false},
        {false, true, 'O', c_mt_command_tcp, false, false},
        {false, true, 'O', c_mt_information_udp, true, true},
        {false, false, 'O', c_mt_call, true, true},
        {false, false, 'M', c_mt_call, false, true},
    };
    int i = 0;
    for (const auto& c : cases) {
        m_settings = {true, false, c.command, c.information};
        open();
        const std::string tag = ",case" + std::to_string(i++) + ",";
        write(make_record(c.kind, packet(c.type, 0x10), tag.substr(1, tag.size() - 2)));
        EXPECT_EQ(file("app.csv").find(tag) != std::string::npos, c.in_app) << tag;
        EXPECT_EQ(file("log.csv").find(tag) != std::string::npos, c.in_log) << tag;
        m_log.reset();
    }
}

TEST_F(packet_log, log_time_names_the_file_and_log_no_writes_none) {
    m_settings = {true, true, true, true};
    open();
    write(make_record('A', 0, "timed"));
    const std::string name = file("filename.txt");
    ASSERT_EQ(name.size(), m_dir.size() + 19) << name;  // YYYYMMDD_HHMMSS.csv
    EXPECT_EQ(name.substr(name.size() - 4), ".csv");
    EXPECT_NE(read_file(name).find(",timed\n"), std::string::npos);
    EXPECT_FALSE(exists(m_dir + "log.csv"));
    m_log.reset();

    std::string cmd = "rm -f '" + m_dir + "'*";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    m_settings = {false, false, true, true};
    open();
    write(make_record('K', 0, "3000"));
    EXPECT_FALSE(exists(m_dir + "log.csv"));
    EXPECT_FALSE(exists(m_dir + "filename.txt"));
    EXPECT_EQ(lines_of(file("object.csv")), 2u);
    EXPECT_EQ(file("app.csv"), class_packet_log::c_header_line);
}

TEST_F(packet_log, the_record_after_a_rotation_period_starts_a_new_log) {
    open();
    const struct_debug_token r = make_record('A', 0, "n");
    for (int i = 0; i < class_packet_log::c_rotation; ++i) write(r);
    EXPECT_EQ(lines_of(file("log.csv")), 1u + class_packet_log::c_rotation);
    EXPECT_EQ(m_log->get_counter(), 0);
    write(make_record('A', 0, "next"));
    const std::string log = file("log.csv");
    EXPECT_EQ(lines_of(log), 2u);
    EXPECT_NE(log.find(",next\n"), std::string::npos);
}

TEST_F(packet_log, each_record_releases_its_block_once_its_row_is_written) {
    open();
    const mm_t mm = packet(c_mt_ctrl, c_mccr_object_create);
    mm_t data = 0;
    ASSERT_EQ(m_memory.eproc_alloc(data, 100, __FILE__, __LINE__), 0);
    struct_debug_token r = make_record('C', mm, "held");
    r.token.data_mm = data;
    EXPECT_EQ(m_memory.get_ref(mm), 2u);
    write(r);
    EXPECT_EQ(m_memory.get_ref(mm), 1u);
    EXPECT_EQ(m_memory.get_alloc_count(), 1u) << "the data block went with the record";
}

TEST_F(packet_log, handles_that_name_no_block_get_the_short_row_and_are_not_touched) {
    open();
    const mm_t live = packet(c_mt_ctrl, c_mccr_object_create);
    mm_t freed = 0;
    ASSERT_EQ(m_memory.eproc_alloc(freed, 80, __FILE__, __LINE__), 0);
    m_memory.proc_free(freed, __FILE__, __LINE__);
    mm_t small = 0;
    ASSERT_EQ(m_memory.eproc_alloc(small, 8, __FILE__, __LINE__), 0);
    const unsigned long remain = m_memory.get_remain();
    const mm_t bad[] = {0xFFFFFFF0u, 1u << 20, 8u, 300u, live + 8, live - 8, freed, small};
    int i = 0;
    for (mm_t b : bad) {
        struct_debug_token r = make_record('C', b, "bad" + std::to_string(i++));
        r.token.data_mm = b == small ? 0 : b;  // a small block is a valid data block
        write(r);
    }
    EXPECT_EQ(m_memory.get_remain(), remain);
    EXPECT_EQ(m_memory.get_ref(live), 2u);
    EXPECT_EQ(m_memory.get_ref(small), 1u);
    const std::string log = file("log.csv");
    for (int k = 0; k < i; ++k)
        EXPECT_NE(log.find(",77,C,src/x - 9 lines,bad" + std::to_string(k) + "\n"), std::string::npos) << k;
    EXPECT_EQ(lines_of(file("object.csv")), 1u);
}

TEST_F(packet_log, unterminated_text_fields_are_cut_at_their_size) {
    open();
    struct_debug_token r = make_record('A', 0, "");
    std::memset(r.doc, 'd', sizeof r.doc);
    std::memset(r.str, 's', sizeof r.str);
    write(r);
    const std::string log = file("log.csv");
    EXPECT_NE(log.find("," + std::string(256, 'd') + "," + std::string(512, 's') + "\n"), std::string::npos);
}

TEST_F(packet_log, only_the_service_s_own_reset_order_resets_and_empties_the_channel) {
    open();
    const mm_t mm = packet(c_mt_ctrl, c_mccr_object_create);
    const unsigned long resets = m_memory.get_reset_count();
    write(make_record('A', 0, "one"));
    write(make_record('Z', 0, "reset", 77));  // forged
    EXPECT_EQ(m_memory.get_reset_count(), resets);
    EXPECT_EQ(m_memory.get_ref(mm), 2u);

    const struct_debug_token waiting = make_record('C', mm, "waiting");
    ASSERT_EQ(m_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&waiting), 0), 0);
    write(make_record('Z', 0, "reset", c_service_pid));
    EXPECT_EQ(m_memory.get_reset_count(), resets + 1);
    EXPECT_EQ(m_memory.get_alloc_count(), 0u);
    EXPECT_TRUE(m_pipe.test_empty()) << "records about the old blocks are dropped";
    // The count restarts without a new file: the reset record counts as the first.
    EXPECT_EQ(m_log->get_counter(), 1);
    const std::string log = file("log.csv");
    EXPECT_NE(log.find(",77,Z,src/x - 9 lines,reset\n"), std::string::npos);
    EXPECT_NE(log.find(",4242,Z,src/x - 9 lines,reset\n"), std::string::npos);
    EXPECT_EQ(log.find("waiting"), std::string::npos);
}

TEST_F(packet_log, a_reset_order_is_stale_once_a_center_was_started_or_watched_since) {
    class_reset_gate gate;
    open(&gate);
    const unsigned long resets = m_memory.get_reset_count();
    auto order = [&](Pimo::u_int32_t in_epoch) {
        struct_debug_token r = make_record('Z', 0, "", c_service_pid);
        std::snprintf(r.str, sizeof r.str, "reset%c%u", '\0', in_epoch);
        return r;
    };
    const Pimo::u_int32_t epoch = gate.get_epoch();
    gate.proc_note_activity();
    write(order(epoch));
    EXPECT_EQ(m_memory.get_reset_count(), resets);
    write(order(gate.get_epoch()));
    EXPECT_EQ(m_memory.get_reset_count(), resets + 1);
    // An order without its epoch is not the loader's.
    write(make_record('Z', 0, "reset", c_service_pid));
    EXPECT_EQ(m_memory.get_reset_count(), resets + 1);
    EXPECT_EQ(lines_of(file("log.csv")), 4u);
}

TEST_F(packet_log, files_are_close_on_exec_and_all_closed_when_the_channel_shuts_down) {
    open();
    auto our_log_fds = [&](bool* pout_all_cloexec) {
        int n = 0;
        *pout_all_cloexec = true;
        DIR* d = opendir("/proc/self/fd");
        while (dirent* e = readdir(d)) {
            char target[512];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
            if (len <= 0) continue;
            target[len] = 0;
            if (std::strncmp(target, m_dir.c_str(), m_dir.size()) != 0) continue;
            ++n;
            const int flags = fcntl(std::atoi(e->d_name), F_GETFD);
            if (!(flags & FD_CLOEXEC)) *pout_all_cloexec = false;
        }
        closedir(d);
        return n;
    };
    m_log->proc_rotate_if_due();
    bool cloexec = false;
    EXPECT_EQ(our_log_fds(&cloexec), 3);
    EXPECT_TRUE(cloexec);
    const struct_debug_token r = make_record('A', 0, "last");
    ASSERT_EQ(m_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&r), 0), 0);
    m_pipe.proc_shutdown();
    EXPECT_EQ(m_log->run(m_pipe), 0);
    EXPECT_EQ(our_log_fds(&cloexec), 0);
}

TEST_F(packet_log, records_taken_together_are_written_in_order_and_each_releases_its_block) {
    open();
    const int n = 150;  // more than two batches
    std::vector<mm_t> blocks;
    for (int i = 0; i < n; ++i) {
        blocks.push_back(packet(c_mt_ctrl, c_mccr_object_create));
        const struct_debug_token r = make_record('C', blocks.back(), "r" + std::to_string(i));
        ASSERT_EQ(m_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&r), 0), 0);
    }
    int result = -1;
    std::thread thread([&] { result = m_log->run(m_pipe); });
    EXPECT_TRUE(kova_test::wait_until([&] { return lines_of(file("log.csv")) == 1u + n; }, 10.0));
    m_pipe.proc_shutdown();
    thread.join();
    EXPECT_EQ(result, 0);
    const std::string log = file("log.csv");
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        const size_t next = log.find(",r" + std::to_string(i) + ",", at);
        ASSERT_NE(next, std::string::npos) << i;
        at = next;
    }
    for (mm_t mm : blocks) EXPECT_EQ(m_memory.get_ref(mm), 1u);
}

TEST_F(packet_log, a_reset_order_drops_the_rest_of_its_batch_and_the_channel_unreleased) {
    open();
    const mm_t before = packet(c_mt_ctrl, c_mccr_object_create);
    const mm_t after = packet(c_mt_ctrl, c_mccr_object_destroy);
    const struct_debug_token waiting = make_record('C', after, "waiting");
    ASSERT_EQ(m_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&waiting), 0), 0);
    const struct_debug_token batch[] = {make_record('C', before, "before"), make_record('Z', 0, "reset", c_service_pid),
                                        make_record('C', after, "after")};
    const unsigned long resets = m_memory.get_reset_count();
    m_log->proc_rotate_if_due();
    m_log->proc_batch(batch, 3, m_pipe);
    EXPECT_EQ(m_memory.get_reset_count(), resets + 1);
    EXPECT_EQ(m_memory.get_alloc_count(), 0u);
    EXPECT_TRUE(m_pipe.test_empty());
    EXPECT_EQ(m_log->get_counter(), 1);
    const std::string log = file("log.csv");
    EXPECT_NE(log.find(",before,"), std::string::npos);
    EXPECT_NE(log.find(",reset\n"), std::string::npos);
    EXPECT_EQ(log.find("after"), std::string::npos);
    EXPECT_EQ(log.find("waiting"), std::string::npos);
    EXPECT_EQ(lines_of(log), 3u);
}

TEST_F(packet_log, a_rotation_falls_inside_a_batch_at_the_same_record) {
    open();
    std::vector<struct_debug_token> batch(class_packet_log::c_batch, make_record('A', 0, "n"));
    const int before = class_packet_log::c_rotation - 10;
    for (int done = 0; done < before;) {
        const int k = std::min<int>(batch.size(), before - done);
        m_log->proc_rotate_if_due();
        m_log->proc_batch(batch.data(), k, m_pipe);
        done += k;
    }
    EXPECT_EQ(lines_of(file("log.csv")), 1u + before);
    for (int i = 0; i < 20; ++i) batch[i] = make_record('A', 0, "b" + std::to_string(i));
    m_log->proc_rotate_if_due();
    m_log->proc_batch(batch.data(), 20, m_pipe);
    const std::string log = file("log.csv");
    EXPECT_EQ(lines_of(log), 11u);
    EXPECT_EQ(log.find(",b9\n"), std::string::npos);
    EXPECT_NE(log.find(",b10\n"), std::string::npos);
    EXPECT_EQ(m_log->get_counter(), 10);
}

// A mark is told written at its place among the records, makes no row and leaves the rotation
// count alone; one that waited in the channel when a reset dropped it is told as well.
TEST_F(packet_log, a_mark_is_told_at_its_place_and_leaves_the_files_and_the_count_alone) {
    using General_Common::IPC::class_debug_ipc;
    const std::string marks_name = kova_test::unique_name("logmarks");
    class_debug_ipc marks;
    ASSERT_EQ(marks.eproc_create(16, marks_name.c_str()), 0);
    open().set_mark_channel(&marks);
    const mm_t mm = packet(c_mt_ctrl, c_mccr_object_create);
    struct_debug_token mark = make_record(class_debug_ipc::c_mark_kind, 0, "5", 77);
    const struct_debug_token batch[] = {make_record('C', mm, "before"), mark, make_record('A', 0, "after")};
    m_log->proc_rotate_if_due();
    m_log->proc_batch(batch, 3, m_pipe);
    EXPECT_EQ(marks.get_last_mark(), class_debug_ipc::make_mark(77, 5));
    EXPECT_EQ(m_memory.get_ref(mm), 1u);
    EXPECT_EQ(m_log->get_counter(), 2);
    EXPECT_EQ(lines_of(file("log.csv")), 3u);
    EXPECT_EQ(lines_of(file("object.csv")), 2u);
    EXPECT_EQ(lines_of(file("app.csv")), 1u);

    std::snprintf(mark.str, sizeof mark.str, "6");
    ASSERT_EQ(m_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&mark), 0), 0);
    write(make_record('Z', 0, "reset", c_service_pid));
    EXPECT_EQ(marks.get_last_mark(), class_debug_ipc::make_mark(77, 6));
    EXPECT_TRUE(m_pipe.test_empty());

    m_log.reset();
    marks.proc_destroy();
    kova_test::remove_shm_containing(marks_name);
}
