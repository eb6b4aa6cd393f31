// The backlog of a full pipe at its bounds: which packet stays, which leaves, and in which
// order the rest waits; as a table of the rules, then against a plain model in a long random
// run. Tokens here are bare numbers: the backlog never looks into them, only in_same does.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Kova/Center/Center_Relay/class_pipe_backlog.h"

namespace {

using Kova::struct_token;
using Kova::Center::Center_Relay::class_pipe_backlog;
typedef class_pipe_backlog::enum_rule rule_t;
typedef class_pipe_backlog::enum_offer offer_t;

constexpr std::size_t c_capacity = class_pipe_backlog::c_capacity;
constexpr std::size_t c_all = c_capacity + class_pipe_backlog::c_overflow_capacity;

struct_token token(std::uint32_t in_id) {
    struct_token t;
    t.header_mm = in_id;
    return t;
}

// What the backlog holds, front first: "id" per token.
std::vector<std::uint32_t> ids(const class_pipe_backlog& in_backlog) {
    std::vector<struct_token> all(in_backlog.size());
    in_backlog.copy_front(all.data(), all.size());
    std::vector<std::uint32_t> out;
    for (const struct_token& t : all) out.push_back(t.header_mm);
    return out;
}

// A packet of the model: its id, rule, bytes and stream (c_control: a control packet).
constexpr int c_control = -1;
struct item {
    std::uint32_t id;
    rule_t rule;
    std::size_t bytes;
    int stream;
};

// The rules as they read, on a plain list.
class model {
public:
    explicit model(std::size_t in_byte_bound) : m_bound(in_byte_bound) {}

    offer_t offer(const item& in_item, std::uint32_t* pout_out) {
        const bool room = m_items.size() < c_capacity && (m_bound == 0 || bytes() + in_item.bytes <= m_bound);
        if (room) return keep(in_item, offer_t::kept);
        if (in_item.rule == rule_t::drop) return offer_t::dropped;
        if (in_item.rule == rule_t::newest)
            for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
                if (it->rule == rule_t::newest && it->stream == in_item.stream) {
                    *pout_out = it->id;
                    m_items.erase(std::next(it).base());
                    return keep(in_item, offer_t::replaced);
                }
        if (m_items.size() < c_capacity) return keep(in_item, offer_t::kept);
        // Past the ring no event waits: none is taken in behind what waits there.
        for (auto it = m_items.begin(); m_items.size() == c_capacity && it != m_items.end(); ++it)
            if (it->rule == rule_t::drop) {
                *pout_out = it->id;
                m_items.erase(it);
                return keep(in_item, offer_t::evicted);
            }
        if (in_item.stream == c_control && m_items.size() < c_all) return keep(in_item, offer_t::kept);  // past the ring
        return offer_t::refused;
    }
    void pop_front(std::size_t in_count) {
        for (std::size_t i = 0; i < in_count && !m_items.empty(); ++i) m_items.pop_front();
    }
    std::size_t bytes() const {
        std::size_t b = 0;
        for (const item& i : m_items) b += i.bytes;
        return b;
    }
    std::vector<std::uint32_t> ids() const {
        std::vector<std::uint32_t> out;
        for (const item& i : m_items) out.push_back(i.id);
        return out;
    }
    const item* find(std::uint32_t in_id) const {
        for (const item& i : m_items)
            if (i.id == in_id) return &i;
        return nullptr;
    }
    std::deque<item> m_items;

private:
    offer_t keep(const item& in_item, offer_t in_result) {
        m_items.push_back(in_item);
        return in_result;
    }
    std::size_t m_bound;
};

// Offers in_item to both; they must agree on the verdict and on what left. Counts the verdicts
// in *pout_seen when given.
void offer_both(class_pipe_backlog& io_backlog, model& io_model, const item& in_item, const std::string& in_what,
                std::set<int>* pout_seen = nullptr) {
    const model& seen = io_model;
    struct_token out;
    std::uint32_t model_out = 0;
    const offer_t got = io_backlog.proc_offer(
        token(in_item.id), in_item.rule, in_item.stream == c_control, in_item.bytes,
        [&](const struct_token& in_waiting) {
            const item* w = seen.find(in_waiting.header_mm);
            return w != nullptr && w->stream == in_item.stream;
        },
        &out);
    const offer_t want = io_model.offer(in_item, &model_out);
    ASSERT_EQ(static_cast<int>(want), static_cast<int>(got)) << in_what;
    if (pout_seen) pout_seen->insert(static_cast<int>(got));
    if (got == offer_t::replaced || got == offer_t::evicted) {
        ASSERT_EQ(model_out, out.header_mm) << in_what;
    }
}

TEST(pipe_backlog, at_its_bounds_each_rule_keeps_replaces_evicts_drops_or_refuses) {
    struct row {
        const char* name;
        std::size_t byte_bound;
        std::vector<item> before;  // offered first, all kept
        std::size_t fill;          // then droppable-free (keep) packets up to this size
        item offered;
        offer_t verdict;
        std::uint32_t out;               // the token that left, for replaced and evicted
        std::vector<std::uint32_t> tail;  // the ids at the back afterwards
    };
    const rule_t K = rule_t::keep, D = rule_t::drop, N = rule_t::newest;
    constexpr std::size_t R = c_capacity, X = c_all;
    const row rows[] = {
        {"room: kept", 100, {{1, D, 50, 0}}, 0, {2, D, 50, 0}, offer_t::kept, 0, {1, 2}},
        {"bytes full: an event is dropped", 100, {{1, D, 60, 0}}, 0, {2, D, 60, 0}, offer_t::dropped, 0, {1}},
        {"bytes full: a value replaces the older one of its stream, the rest keep their order", 100,
         {{1, N, 30, 7}, {2, D, 30, 0}, {3, N, 30, 8}}, 0, {4, N, 30, 7}, offer_t::replaced, 1, {2, 3, 4}},
        {"bytes full: the newest of its stream is the one replaced", 100, {{1, N, 40, 7}, {2, N, 40, 7}}, 0,
         {3, N, 40, 7}, offer_t::replaced, 2, {1, 3}},
        {"bytes full: a value with none of its stream waiting is kept past the bound", 100, {{1, N, 60, 7}}, 0,
         {2, N, 60, 8}, offer_t::kept, 0, {1, 2}},
        {"bytes full: a control packet is kept past the bound", 100, {{1, D, 90, 0}}, 0, {2, K, 72, 0},
         offer_t::kept, 0, {1, 2}},
        {"ring full: a value takes the place of the oldest event", 0, {{1, K, 0, 0}, {2, D, 0, 0}, {3, D, 0, 0}},
         R, {9, N, 0, 7}, offer_t::evicted, 2, {9}},
        {"ring full: a control packet takes the place of the oldest event", 0, {{1, D, 0, 0}}, R, {9, K, 0, 0},
         offer_t::evicted, 1, {9}},
        {"ring full without events: a reply is refused", 0, {}, R, {9, K, 0, 0}, offer_t::refused, 0, {}},
        {"ring full without events: a value with none of its stream is refused", 0, {}, R, {9, N, 0, 7},
         offer_t::refused, 0, {}},
        {"ring full without events: a control packet waits past it", 0, {}, R, {9, K, 0, c_control}, offer_t::kept,
         0, {9}},
        {"past the ring: an event is dropped", 0, {}, R + 1, {9, D, 0, 0}, offer_t::dropped, 0, {}},
        {"past the ring: a reply is refused", 0, {}, R + 1, {9, K, 0, 0}, offer_t::refused, 0, {}},
        {"past the ring: another control packet waits behind it", 0, {}, R + 1, {9, K, 0, c_control},
         offer_t::kept, 0, {1000 + R, 9}},
        {"past the ring: a value replaces the older one of its stream, behind what waits there", 0, {{1, N, 0, 7}},
         R + 1, {9, N, 0, 7}, offer_t::replaced, 1, {1000 + R - 1, 9}},
        {"ring and overflow full: a control packet is refused", 0, {}, X, {9, K, 0, c_control}, offer_t::refused, 0,
         {}},
        {"ring full: an event is dropped", 0, {{1, D, 0, 0}}, R, {9, D, 0, 0}, offer_t::dropped, 0, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        class_pipe_backlog backlog(r.byte_bound);
        model m(r.byte_bound);
        for (const item& i : r.before) ASSERT_NO_FATAL_FAILURE(offer_both(backlog, m, i, "before"));
        // Replies up to the ring's room, control packets past it.
        for (std::uint32_t id = 1000; backlog.size() < r.fill; ++id)
            ASSERT_NO_FATAL_FAILURE(
                offer_both(backlog, m, {id, K, 0, backlog.size() < c_capacity ? 0 : c_control}, "fill"));
        const std::size_t size_before = backlog.size();
        struct_token out;
        const offer_t got = backlog.proc_offer(
            token(r.offered.id), r.offered.rule, r.offered.stream == c_control, r.offered.bytes,
            [&](const struct_token& in_waiting) {
                const item* w = m.find(in_waiting.header_mm);
                return w != nullptr && w->stream == r.offered.stream;
            },
            &out);
        EXPECT_EQ(static_cast<int>(r.verdict), static_cast<int>(got));
        if (got == offer_t::replaced || got == offer_t::evicted) {
            EXPECT_EQ(r.out, out.header_mm);
        }
        const std::vector<std::uint32_t> now = ids(backlog);
        ASSERT_GE(now.size(), r.tail.size());
        EXPECT_EQ(r.tail, std::vector<std::uint32_t>(now.end() - static_cast<long>(r.tail.size()), now.end()));
        const bool taken = got == offer_t::kept;
        EXPECT_EQ(size_before + (taken ? 1 : 0), backlog.size());
    }
}

// Long random runs against the model, near each bound: offers of every rule, takes from the
// front in batches and by predicate; the order, the bytes and every verdict agree throughout.
TEST(pipe_backlog, agrees_with_the_model_of_its_rules_in_long_random_runs) {
    struct run {
        const char* name;
        std::size_t byte_bound;
        std::size_t max_bytes;
        std::size_t near;  // size the run keeps close to
        std::set<int> verdicts;  // every one of them must come up
    };
    const run runs[] = {
        {"by bytes", 4000, 300, 30,
         {int(offer_t::kept), int(offer_t::replaced), int(offer_t::dropped)}},
        {"by count", 0, 0, c_capacity - 8,
         {int(offer_t::kept), int(offer_t::replaced), int(offer_t::evicted), int(offer_t::dropped),
          int(offer_t::refused)}}};
    for (const run& r : runs) {
        SCOPED_TRACE(r.name);
        std::mt19937 random(20240611u);
        class_pipe_backlog backlog(r.byte_bound);
        model m(r.byte_bound);
        std::uint32_t next = 1;
        std::set<int> seen;
        while (backlog.size() < r.near)
            ASSERT_NO_FATAL_FAILURE(offer_both(backlog, m, {next++, rule_t::keep, 0, 0}, "start"));
        for (int step = 0; step < 20000; ++step) {
            const unsigned what = random() % 10;
            if (what < 7) {
                const rule_t rule = static_cast<rule_t>(random() % 3);
                const std::size_t bytes = r.max_bytes ? random() % r.max_bytes : 0;
                ASSERT_NO_FATAL_FAILURE(
                    offer_both(backlog, m, {next++, rule, bytes, static_cast<int>(random() % 6) - 1}, "offer", &seen));
            } else if (what < 9) {
                const std::size_t n = random() % 4;
                backlog.pop_front(n);
                m.pop_front(n);
            } else {
                const std::uint32_t mod = 2 + random() % 5;
                std::vector<std::uint32_t> taken;
                backlog.proc_take_if([&](const struct_token& in_t) { return in_t.header_mm % mod == 0; },
                                     [&](const struct_token& in_t) { taken.push_back(in_t.header_mm); });
                std::vector<std::uint32_t> want;
                for (auto it = m.m_items.begin(); it != m.m_items.end();)
                    if (it->id % mod == 0) {
                        want.push_back(it->id);
                        it = m.m_items.erase(it);
                    } else {
                        ++it;
                    }
                ASSERT_EQ(want, taken) << "step " << step;
            }
            ASSERT_EQ(m.ids(), ids(backlog)) << "step " << step;
            ASSERT_EQ(m.bytes(), backlog.bytes()) << "step " << step;
            // Back near the size the run is about, so that the bounds keep being met.
            while (backlog.size() + 4 < r.near)
                ASSERT_NO_FATAL_FAILURE(offer_both(backlog, m, {next++, rule_t::keep, 0, 0}, "refill"));
        }
        EXPECT_EQ(r.verdicts, seen);
    }
}

}  // namespace
