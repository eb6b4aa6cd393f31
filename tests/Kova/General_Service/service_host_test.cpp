// The service program in private hosts: start-up, the loader's centers and resets, and the
// log thread against what any process of the host may send it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "service_host.h"

using namespace kova_test;

namespace {

const char* const c_reset_row = ",Z,src/Kova/General_Service/Center_Manager/class_center_loader - 148 lines,reset";

size_t count_of(const std::string& in_text, const std::string& in_part) {
    size_t n = 0;
    for (size_t p = in_text.find(in_part); p != std::string::npos; p = in_text.find(in_part, p + 1)) ++n;
    return n;
}

// Waits until the log thread has taken everything sent before: a marker record goes last.
bool settle(service_host& in_host, child_process& in_client, const std::string& in_marker) {
    if (ask(in_client, "raw M 0 " + in_marker) != "raw 0") return false;
    return wait_for_file_text(in_host.log("log.csv"), ",M,probe_service_client - 2 lines," + in_marker);
}

unsigned long resets(child_process& in_client) { return answer_number(ask(in_client, "resets")); }

// True once the service maps the center pipe of in_domain: its watcher of that center is open.
bool watches(child_process& in_service, const std::string& in_domain) {
    const std::string maps = read_text_file("/proc/" + std::to_string(in_service.pid()) + "/maps");
    return maps.find("/kova_center_ipc" + in_domain + "pipe") != std::string::npos;
}

}  // namespace

// A running service in a private host and a client process that has opened its objects.
class running_service : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        h.reset(new service_host());
        ASSERT_TRUE(h->ok());
        ASSERT_TRUE(h->start_service(service));
        client = h->start_client();
        ASSERT_EQ(ask(client, "open"), "opened 0 0 0");
    }

    std::unique_ptr<service_host> h;
    child_process service;
    child_process client;
};

TEST(service_host, starts_up_with_its_objects_and_logs_and_a_second_service_exits_silently) {
    REQUIRE_PRIVATE_HOSTS();
    // Not a multiple of 8: rounded down.
    service_host h("MEMSIZE=16777219\n");
    ASSERT_TRUE(h.ok());
    child_process service;
    ASSERT_TRUE(h.start_service(service));

    struct stat st;
    ASSERT_EQ(stat(h.host().shm_path("kova_memory_manager").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16777216);
    EXPECT_TRUE(h.host().wait_for_shm("kova_debug_ipcpipe", 1.0));
    EXPECT_TRUE(h.host().wait_for_shm("Global\\kova_memory_managerobserver_lock", 1.0));

    const std::string header =
        "time,pid,debug,doc,msg,pk limit time,pk live time, src ip,mtct if ip,dest ip, src port, dst port, src id, "
        "dst id, type,code, header limit, header time, number,error,size\n";
    ASSERT_EQ(header.size(), 170u);
    EXPECT_EQ(h.read_log("object.csv"), header);
    EXPECT_EQ(h.read_log("app.csv"), header);
    EXPECT_EQ(h.read_log("log.csv"), header);
    EXPECT_EQ(h.read_log("filename.txt"), "../../var/log/Kova/log.csv");

    // The memory is held: a second service (arguments change nothing) ends at once, silently.
    child_process second = h.host().spawn({h.bin() + "Kova_General_Service", "a", "b"});
    EXPECT_EQ(second.wait(10.0), 0);
    EXPECT_EQ(second.output(), "");
    EXPECT_EQ(service.wait(0.2), -1) << "the first service keeps running";
    // Nothing started a center, so nothing was reset.
    EXPECT_EQ(h.read_log("log.csv"), header);
}

TEST_F(running_service, starts_watches_and_forgets_a_center_then_resets_the_memory) {
    const unsigned long resets_before = resets(client);

    ASSERT_EQ(ask(client, "send 7000 0"), "sent 0");
    ASSERT_TRUE(h->host().wait_for_shm("kova_center_ipc7000pipe"));
    ASSERT_TRUE(wait_for_file_text(h->bin() + "center_7000.pid", ""));
    // A second start request starts a second center, which fails on the stop event and
    // never reports; a second "up" for the watched domain changes nothing.
    ASSERT_EQ(ask(client, "send 7000 0"), "sent 0");
    ASSERT_EQ(ask(client, "send 7000 1"), "sent 0");
    ASSERT_TRUE(settle(*h, client, "started"));
    EXPECT_EQ(count_of(h->read_log("log.csv"), c_reset_row), 0u) << "no reset when a center starts";

    // The center ends: the watcher notices, the loader forgets it and orders the reset.
    ASSERT_TRUE(wait_until([&] { return watches(service, "7000"); }, 10.0)) << "the service watches the center";
    ASSERT_EQ(ask(client, "stop 7000"), "stopped 0");
    ASSERT_TRUE(wait_for_file_text(h->log("log.csv"), c_reset_row, 15.0));
    ASSERT_TRUE(settle(*h, client, "forgotten"));
    EXPECT_EQ(count_of(h->read_log("log.csv"), c_reset_row), 1u);
    EXPECT_EQ(resets(client), resets_before + 1);
    EXPECT_EQ(h->read_log("object.csv").find(",Z,"), std::string::npos) << "a reset row goes to the rotating log only";

    // Its next center is started and watched again: the domain was really forgotten.
    ASSERT_EQ(ask(client, "send 7000 0"), "sent 0");
    ASSERT_TRUE(h->host().wait_for_shm("Global\\Kova_Center_KILLER_7000"));
    ASSERT_TRUE(h->host().wait_for_shm("kova_center_ipc7000pipe"));
    ASSERT_TRUE(settle(*h, client, "restarted"));
    ASSERT_TRUE(wait_until([&] { return watches(service, "7000"); }, 10.0)) << "the service watches the center";
    ASSERT_EQ(ask(client, "stop 7000"), "stopped 0");
    ASSERT_TRUE(settle(*h, client, "x"));
    wait_until([&] { return count_of(h->read_log("log.csv"), c_reset_row) >= 2; }, 10.0);
    EXPECT_EQ(count_of(h->read_log("log.csv"), c_reset_row), 2u);
}

TEST(service_host, a_center_is_started_from_a_directory_whose_name_the_shell_would_split) {
    REQUIRE_PRIVATE_HOSTS();
    service_host h("MEMSIZE=16777216\n", "it's a $tree; x");
    ASSERT_TRUE(h.ok());
    child_process service;
    ASSERT_TRUE(h.start_service(service));
    child_process client = h.start_client();
    ASSERT_EQ(ask(client, "open"), "opened 0 0 0");
    ASSERT_EQ(ask(client, "send 7001 0"), "sent 0");
    EXPECT_TRUE(h.host().wait_for_shm("kova_center_ipc7001pipe"));
    EXPECT_TRUE(wait_for_file_text(h.bin() + "center_7001.pid", ""));
}

TEST(service_host, an_ended_service_stops_its_threads_and_watchers_and_frees_the_host) {
    REQUIRE_PRIVATE_HOSTS();
    service_host h;
    ASSERT_TRUE(h.ok());
    ASSERT_TRUE(copy_file(probe_path("probe_service_core"), h.bin() + "probe_service_core"));
    child_process core = h.host().spawn({h.bin() + "probe_service_core", "16777216"}, h.bin());
    ASSERT_TRUE(h.host().wait_for_shm("kova_service_ipcpipe"));
    ASSERT_TRUE(wait_for_file_text(h.log("log.csv"), "time,pid,debug"));
    child_process client = h.start_client();
    ASSERT_EQ(ask(client, "open"), "opened 0 0 0");
    ASSERT_EQ(ask(client, "send 7000 0"), "sent 0");
    ASSERT_TRUE(h.host().wait_for_shm("kova_center_ipc7000pipe"));
    ASSERT_TRUE(settle(h, client, "watched"));

    ASSERT_TRUE(core.send_line("end"));
    ASSERT_TRUE(core.wait_for_line("ended", 15.0));
    EXPECT_EQ(core.wait(10.0), 0);
    // The center outlives the service; its end reaches no watcher of a service that is gone.
    ASSERT_EQ(ask(client, "stop 7000"), "stopped 0");
    ASSERT_TRUE(client.send_line("exit"));
    ASSERT_EQ(client.wait(), 0);
    // Everything was released: a new service takes the host.
    child_process next;
    ASSERT_TRUE(h.start_service(next));
    EXPECT_EQ(next.wait(0.5), -1) << "the new service runs";
}

TEST_F(running_service, any_gone_notice_with_no_center_left_orders_a_reset) {
    const unsigned long before = resets(client);
    // An unwatched domain, and a message value other than 0, 1 and 2, count as "gone".
    ASSERT_EQ(ask(client, "send 1234 2"), "sent 0");
    ASSERT_TRUE(wait_for_file_text(h->log("log.csv"), c_reset_row));
    ASSERT_EQ(ask(client, "send 1234 7"), "sent 0");
    wait_until([&] { return count_of(h->read_log("log.csv"), c_reset_row) >= 2; }, 10.0);
    ASSERT_TRUE(settle(*h, client, "done"));
    EXPECT_EQ(count_of(h->read_log("log.csv"), c_reset_row), 2u);
    EXPECT_EQ(resets(client), before + 2);
}

TEST_F(running_service, a_reset_order_from_another_process_is_logged_and_changes_nothing) {
    const unsigned long before = resets(client);
    const std::string mm = ask(client, "alloc 1 3 127.0.0.1").substr(3);
    ASSERT_NE(mm, "0");
    ASSERT_EQ(ask(client, "raw Z 0 reset"), "raw 0");
    ASSERT_TRUE(settle(*h, client, "after forged"));
    EXPECT_NE(h->read_log("log.csv").find(",Z,probe_service_client - 2 lines,reset\n"), std::string::npos);
    EXPECT_EQ(resets(client), before);
    EXPECT_EQ(ask(client, "ref " + mm), "ref 1") << "the block survived";
}

TEST_F(running_service, a_reset_is_dropped_when_a_center_was_started_after_it_was_ordered) {
    const unsigned long before = resets(client);
    const std::string mm = ask(client, "alloc 1 3 127.0.0.1").substr(3);
    ASSERT_NE(mm, "0");
    // Hold the log thread on a record that names a block, while the loader orders a reset and
    // then starts a center: the order is stale when the log thread reaches it.
    ASSERT_EQ(ask(client, "hold"), "held");
    ASSERT_EQ(ask(client, "trace C " + mm + " held back"), "traced");
    ASSERT_EQ(ask(client, "send 1234 2"), "sent 0");
    ASSERT_EQ(ask(client, "send 7000 0"), "sent 0");
    ASSERT_TRUE(h->host().wait_for_shm("kova_center_ipc7000pipe"));
    ASSERT_EQ(ask(client, "release"), "released");
    ASSERT_TRUE(wait_for_file_text(h->log("log.csv"), c_reset_row));
    ASSERT_TRUE(settle(*h, client, "after stale"));
    EXPECT_EQ(resets(client), before) << "the center started after the order keeps its memory";
    EXPECT_EQ(ask(client, "ref " + mm), "ref 1");

    // With the center gone and nothing started since, the next order resets.
    ASSERT_TRUE(wait_until([&] { return watches(service, "7000"); }, 10.0)) << "the service watches the center";
    ASSERT_EQ(ask(client, "stop 7000"), "stopped 0");
    wait_until([&] { return resets(client) != before; }, 15.0);
    EXPECT_EQ(resets(client), before + 1);
}

TEST_F(running_service, bad_handles_get_the_short_row_and_leave_the_service_and_memory_alone) {
    const unsigned long mm = answer_number(ask(client, "alloc 1 3 127.0.0.1"));
    ASSERT_NE(mm, 0u);
    const std::string remain = ask(client, "remain");
    // Past the segment, inside the heap's header, inside a block, and a handle that is not
    // aligned to any block start.
    const unsigned long bad[] = {0xFFFFFFF0ul, 16ul, mm + 8, 300ul, service_host::c_memsize - 8ul};
    int k = 0;
    for (unsigned long b : bad) ASSERT_EQ(ask(client, "raw C " + std::to_string(b) + " bad" + std::to_string(k++)), "raw 0");
    ASSERT_TRUE(settle(*h, client, "after bad"));
    EXPECT_EQ(service.wait(0.1), -1) << "the service is still running";
    const std::string log = h->read_log("log.csv");
    for (int i = 0; i < k; ++i)
        EXPECT_NE(log.find(",C,probe_service_client - 2 lines,bad" + std::to_string(i) + "\n"), std::string::npos) << i;
    EXPECT_EQ(h->read_log("object.csv").find("bad"), std::string::npos);
    EXPECT_EQ(ask(client, "remain"), remain);
    EXPECT_EQ(ask(client, "ref " + std::to_string(mm)), "ref 1");
}

TEST_F(running_service, a_record_holds_its_block_until_its_row_is_written) {
    const std::string mm = ask(client, "alloc 1 3 127.0.0.1").substr(3);
    ASSERT_EQ(ask(client, "hold"), "held");
    ASSERT_EQ(ask(client, "trace C " + mm + " create"), "traced");
    EXPECT_EQ(ask(client, "ref " + mm), "ref 2") << "the queued record holds a reference";
    ASSERT_EQ(ask(client, "release"), "released");
    ASSERT_TRUE(settle(*h, client, "written"));
    EXPECT_EQ(ask(client, "ref " + mm), "ref 1");
    const std::string object = h->read_log("object.csv");
    EXPECT_NE(object.find(",C,probe_service_client - 1 lines,create,1.500000,0.250000,127.0.0.1,0.0.0.0,127.0.0.1,"
                          "7000,7000,32769,5,control,c_mccr_object_create,"),
              std::string::npos)
        << object;
}

// A mark comes back once every record queued before it is written and its reference released,
// with the rotating log or without it, and it makes no row.
TEST(service_host, a_mark_comes_back_once_every_record_before_it_is_written) {
    REQUIRE_PRIVATE_HOSTS();
    for (const char* ini : {"MEMSIZE=16777216\n", "MEMSIZE=16777216\nLOG=no\n"}) {
        SCOPED_TRACE(ini);
        service_host h(ini);
        ASSERT_TRUE(h.ok());
        child_process service, client;
        ASSERT_TRUE(h.start_service(service));
        client = h.start_client();
        ASSERT_EQ(ask(client, "open"), "opened 0 0 0");
        const std::string mm = ask(client, "alloc 1 3 127.0.0.1").substr(3);
        // Queued while the log thread cannot take them, so that they wait before the mark.
        ASSERT_EQ(ask(client, "hold"), "held");
        ASSERT_EQ(ask(client, "flood 5000 " + mm), "flooded 5000");
        ASSERT_EQ(ask(client, "release"), "released");
        EXPECT_EQ(ask(client, "settled"), "blocks 1 1");
        EXPECT_EQ(ask(client, "ref " + mm), "ref 1");
        const std::string object = h.read_log("object.csv");
        EXPECT_NE(object.find(",flood 4999,"), std::string::npos);
        for (const char* file : {"object.csv", "app.csv", "log.csv"})
            EXPECT_EQ(h.read_log(file).find(",S,"), std::string::npos) << file;
    }
}

TEST_F(running_service, log_thread_throughput) {
    const std::string mm = ask(client, "alloc 1 3 127.0.0.1").substr(3);
    const int n = 20000;
    // Held while the records are queued, so the figure is the log thread's alone.
    ASSERT_EQ(ask(client, "hold"), "held");
    ASSERT_EQ(ask(client, "flood " + std::to_string(n) + " " + mm), "flooded " + std::to_string(n));
    const double start = now_s();
    ASSERT_EQ(ask(client, "release"), "released");
    ASSERT_TRUE(wait_for_file_text(h->log("log.csv"), "flood " + std::to_string(n - 1) + ",", 120.0));
    const double seconds = now_s() - start;
    EXPECT_EQ(ask(client, "ref " + mm), "ref 1");
    std::printf("log thread: %d records (rows in object.csv and log.csv) in %.3f s = %.0f records/s, MEMSIZE %u\n",
                n, seconds, n / seconds, service_host::c_memsize);
}
