// The center thread's relay: routes every packet of the domain to local pipes, to the
// network relay, or back to its sender as an error return, and keeps the subscription
// and proxy tables. Only the center thread uses it, so nothing here is locked.
//
// Every routing operation consumes the token it is given: pushed into a pipe, taken
// by the network relay, turned into an error return, or released.
#pragma once
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Kova/Center/Center_Relay/center_relay_typedef.h"
#include "Kova/Center/Center_Relay/class_pipe_backlog.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Pimo/IPC/interface_pipe.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

class class_center_relay {
public:
    bool m_kill_control;  // set by the process-destroy and client-disconnect handlers
    multicast_map_t multicast_map;
    information_map_t information_map;
    multicast_smap_t multicast_smap;
    multicast_pmap_t multicast_pmap;
    proxy_map_t m_proxy_map;
    // The subscriptions information_map counts, by local proxy: what each one's end takes back.
    proxy_information_map_t proxy_information_map;

    // Remote centers connected to this one as TCP clients.
    static int tcp_client_count;

    class_center_relay();
    ~class_center_relay();
    class_center_relay(const class_center_relay&) = delete;
    class_center_relay& operator=(const class_center_relay&) = delete;

    // Per-packet entry; returns 0.
    int eproc_relay_from_kova_to_kova(struct_token& in_token, struct_packet* pin_pkt);

    // Ends every retry loop of the center thread (the token in hand is released) and
    // wakes a delay; set before the center thread is joined.
    void proc_stop();

    // Packets kept for full pipes of local processes. The center thread retries them after
    // each token it takes, the empty token a process sends when its pipe has drained to half
    // included, and every c_backlog_retry_s while it has nothing else to do (should a wake
    // have found the center pipe full).
    static constexpr double c_backlog_retry_s = 0.1;
    bool has_backlog() const { return m_backlogged != 0; }
    void proc_retry_backlogs();
    // Back-pressure. A backlog that holds more than its soft mark (c_backlog_soft packets, or a
    // quarter of its byte bound) presses: while one presses, the center thread takes nothing
    // from its center pipe, so that the senders wait on its room, and pushes the backlogs on as
    // their processes drain (is_pressing, then the center pipe's wake). A backlog still above
    // its mark c_behind_s after it went above has fallen behind: its process is stalled or
    // slower than what it is sent, it holds nobody any more, and what comes beyond its bounds
    // fares by the kinds' rules; it presses again only once it has come down to the mark.
    static constexpr std::size_t c_backlog_soft = 128;
    static constexpr double c_behind_s = 0.1;
    // Marks the backlogs that have pressed for c_behind_s as fallen behind; true while another
    // presses. *pout_wait_s: the time until the next of them falls behind.
    bool is_pressing(double* pout_wait_s = nullptr);
    // Events dropped because their process's backlog was at its bound, and values and
    // commands that replaced an older one of their stream there, since the start.
    std::size_t get_dropped_count() const { return m_dropped_total; }
    std::size_t get_replaced_count() const { return m_replaced_total; }
    // The process of the pipe is gone: what waited for it comes back to its senders as
    // c_kova_err_object_is_not_exist (when its type has an error form) and the room goes.
    void proc_release_backlog(Pimo::IPC::interface_pipe* pin_pipe);
    // Batches. Between proc_begin_batch and proc_end_batch (the tokens the center thread took
    // from its pipe at once) the copies of the fan-outs wait per pipe, in order, and each pipe
    // gets its own under one hold of its lock and one wake at the end, or before anything else
    // is pushed into it. Control packets, which may close pipes, find nothing waiting.
    void proc_begin_batch() { m_batching = true; }
    void proc_end_batch();
    bool is_stopping() const { return m_stop.load(std::memory_order_relaxed); }
    // Sleeps up to in_seconds; returns early once stopping.
    void proc_wait_stop(double in_seconds);

    // Routing.
    void send(struct_token& in_token, struct_packet* pin_pkt);
    void send_to_local_host_object(struct_token& in_token, struct_packet* pin_pkt);
    void send_listen_to_local_host_object(struct_token& in_token, struct_packet* pin_pkt);
    void send_return_to_local_host_object(struct_token& in_token, struct_packet* pin_pkt);
    // The fan-outs leave the incoming token with the caller, unless in_take: then the last
    // pipe gets the packet itself instead of a copy.
    void send_to_local_host_broadcast_listen(struct_token& in_token, struct_packet* pin_pkt, bool in_take = false);
    void send_to_local_host_broadcast_return(struct_token& in_token, struct_packet* pin_pkt);
    void send_to_local_host_broadcast_object_for_information(struct_token& in_token, struct_packet* pin_pkt,
                                                             bool in_take = false);
    void send_to_remote_host(struct_token& in_token, struct_packet* pin_pkt);
    void send_to_udp(struct_token& in_token, struct_packet* pin_pkt);
    void send_to_tcp(struct_token& in_token, struct_packet* pin_pkt);
    void send_to_broadcast_tcp(struct_token& in_token, struct_packet* pin_pkt);
    void process_failed_token(struct_token& in_token, struct_packet* pin_pkt, kova_err_t in_error);

    // Subscription hooks: they only read the packet.
    void confirm_information(const struct_packet* pin_pkt);
    void disconnect_information(const struct_packet* pin_pkt);
    void shutdown_information(const struct_packet* pin_pkt);
    // False when the group could not be joined: nothing is recorded then.
    bool confirm_multicast(const struct_packet* pin_pkt);
    void disconnect_multicast(const struct_packet* pin_pkt);
    void shutdown_multicast(const struct_packet* pin_pkt);
    void erase_information(object_id_t in_id, const struct_server_addr& in_stub, msg_code_t in_code);
    void erase_multicast(domain_t in_port, ip_t in_if, object_id_t in_proxy, ip_t in_stub_ip, object_id_t in_stub_id,
                         msg_code_t in_code);
    // Clean-ups run by the control handlers.
    void erase_multicast_of_remote_stub(const struct_packet* pin_pkt);
    void erase_multicast_of_local_proxy(const struct_packet* pin_pkt);
    void erase_multicast_of_remote_host(const struct_packet* pin_pkt);
    // Every information subscription counted for a dead process, a destroyed local
    // proxy, a destroyed stub, the stubs of a host whose link is gone.
    void erase_information_of_process(int in_pid);
    void erase_information_of_proxy(object_id_t in_proxy);
    void erase_information_of_stub(const struct_server_addr& in_stub);
    void erase_information_of_host(ip_t in_stub_ip);

    // Control handlers.
    void control(struct_token& in_token, struct_packet* pin_pkt);
    void control_object_request(struct_token& in_token, struct_packet* pin_pkt);
    void control_object_create(struct_token& in_token, struct_packet* pin_pkt);
    void control_object_destroy(struct_token& in_token, struct_packet* pin_pkt);
    void control_process_destroy(struct_token& in_token, struct_packet* pin_pkt);
    void control_tcp_connected_from_client(struct_token& in_token, struct_packet* pin_pkt);
    void control_tcp_disconnected_from_client(struct_token& in_token, struct_packet* pin_pkt);
    void control_tcp_connected_to_server(struct_token& in_token, struct_packet* pin_pkt);
    void control_tcp_disconnected_from_server(struct_token& in_token, struct_packet* pin_pkt);

private:
    // The packets kept for one pipe, and what is told of them.
    struct struct_backlog {
        std::unique_ptr<class_pipe_backlog> queue;
        std::size_t dropped = 0;  // events dropped in the current run, not yet told
        Pimo::OS::vimra_clock_t scanned_us = 0;  // when its spent packets were last looked for
        Pimo::OS::vimra_clock_t over_since_us = 0;  // above its soft mark since; 0: at or below it
        bool behind = false;  // above it for c_behind_s
    };
    // A backlog's size changed: whether it presses now.
    void proc_update_pressure(struct_backlog& io_backlog);

    // The subscription hooks of the per-packet entry, by message type; false for a
    // confirm whose group could not be joined.
    bool run_subscription_hooks(const struct_packet* pin_pkt);
    // A confirm whose subscription this host cannot serve: a reject to the proxy and
    // a shutdown to the stub, both carrying in_error.
    void refuse_confirm(struct_token& in_token, struct_packet* pin_pkt, kova_err_t in_error);
    // Takes out every counted subscription for which in_which(proxy, record, key) holds.
    template <typename which_t>
    void erase_information_where(which_t in_which);
    // A new token whose header block holds a copy of in_pkt and which shares in_token's data block.
    struct_token make_copy(const struct_token& in_token, const struct_packet* pin_pkt, struct_packet** pout_pkt);
    void push_to_local_object(struct_token& in_token, struct_packet* pin_pkt, bool in_listen);
    // Pushes into a local process's pipe and consumes the token. A request (in_request) that
    // finds c_request_queue_limit packets waiting is answered with busy node at once; any
    // other packet that finds the pipe full waits in the pipe's backlog, by the backlog's
    // rules at its bounds. A pipe with packets kept for it takes nothing past them.
    void push_to_pipe(Pimo::IPC::interface_pipe* pin_pipe, struct_token& in_token, struct_packet* pin_pkt,
                      bool in_request);
    // Pushes the pipe's kept packets while it takes them; those whose time is spent come
    // back to their senders with c_kova_err_remote_timeout. True when none is left.
    bool proc_retry_backlog(Pimo::IPC::interface_pipe* pin_pipe, struct_backlog& in_backlog);
    bool proc_push_backlog(Pimo::IPC::interface_pipe* pin_pipe, struct_backlog& in_backlog);
    // Counts an event dropped for in_pipe's full backlog; the first of a run of them is told
    // to the service's log with its packet, the run's count once the backlog has room again.
    void proc_count_drop(struct_backlog& in_backlog, const struct_token& in_token);
    void proc_report_drops(struct_backlog& in_backlog);
    // The pipes of one fan-out and its copies: the relay's own lists, kept from packet to
    // packet so that a fan-out allocates nothing, or lists of its own for a fan-out inside one.
    class class_fan_out {
    public:
        explicit class_fan_out(class_center_relay& in_relay);
        ~class_fan_out();
        class_fan_out(const class_fan_out&) = delete;
        class_fan_out& operator=(const class_fan_out&) = delete;
        std::vector<Pimo::IPC::interface_pipe*>& pipes();
        std::vector<struct_token>& tokens();

    private:
        class_center_relay& m_relay;
        bool m_own;
        std::vector<Pimo::IPC::interface_pipe*> m_pipes;
        std::vector<struct_token> m_tokens;
    };
    void copy_to_pipes(struct_token& in_token, struct_packet* pin_pkt, class_fan_out& in_fan_out, bool in_take);
    // A fan-out's copy for in_pipe (its in_place-th pipe): held back in a batch, else pushed.
    void proc_stage(Pimo::IPC::interface_pipe* pin_pipe, struct_token& in_token, struct_packet* pin_pkt,
                    std::size_t in_place);
    // Pushes what waits for in_pipe (for the stage at in_index), then for every pipe.
    void proc_flush_pipe(Pimo::IPC::interface_pipe* pin_pipe);
    void proc_flush_stage(std::size_t in_index);
    void proc_flush_stages();
    // Pushes a header-only 0x8007 report into a proxy's listen pipe.
    void push_connected_report(Pimo::IPC::interface_pipe* pin_pipe, struct_packet* pin_request, ip_t in_src_ip,
                               domain_t in_src_port, object_id_t in_src_id, ip_t in_dst_ip, domain_t in_dst_port);
    // Reads the process id at the front of the data block; false without a 4-byte payload.
    static bool read_process_id(const struct_token& in_token, int& pout_pid);

    // Local proxies that made an add_client, and the remote center they use.
    std::map<object_id_t, struct_node_addr> m_client_proxy_map;
    // A pipe's backlog lives from its first full push to its process's end.
    std::map<Pimo::IPC::interface_pipe*, struct_backlog> m_backlogs;
    std::size_t m_backlogged;  // packets in all backlogs
    std::size_t m_pressing;    // backlogs above their soft mark and not behind
    std::size_t m_dropped_total;
    std::size_t m_replaced_total;
    // The copies waiting in a batch, per pipe in the order the pipes first got one: the first
    // m_stage_count entries are in use (a null pipe: flushed already). Kept from batch to batch
    // with their room, so that a batch allocates nothing once the pipes are known.
    struct struct_stage {
        Pimo::IPC::interface_pipe* pipe = nullptr;
        std::vector<struct_token> tokens;
    };
    std::vector<struct_stage> m_stages;
    std::size_t m_stage_count;
    bool m_batching;
    std::vector<Pimo::IPC::interface_pipe*> m_fan_out_pipes;
    std::vector<struct_token> m_fan_out_tokens;
    int m_fan_out_depth;
    std::atomic<bool> m_stop;
    std::mutex m_stop_mutex;
    std::condition_variable m_stop_cv;
};

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
