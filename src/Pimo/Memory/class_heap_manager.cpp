#include "Pimo/Memory/class_heap_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Pimo/Memory/mem_print.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/class_shared_memory.h"

namespace Pimo {
namespace Memory {

namespace {

const byte_t c_front_guard[c_front_guard_size] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const byte_t c_rear_guard[c_rear_guard_size] = {0, 1, 2, 3, 4, 5, 6, 7};

thread_local char g_status_line[200];
thread_local char g_short_status_line[200];

constexpr u_int64_t c_no_block = ~static_cast<u_int64_t>(0);

}  // namespace

class_heap_manager::class_heap_manager(void* pin_base, u_int64_t in_size, OS::class_lock* pin_lock, bool in_init)
    : mp_memory(nullptr),
      mp_lock(pin_lock),
      mp_hdr(static_cast<HEAP_HEADER*>(pin_base)),
      mp_hook(nullptr),
      m_size(in_size),
      // Every block takes at least its header and 8 bytes of payload.
      m_max_blocks(static_cast<size_t>((in_size - c_first_block) / (c_heap_block_size + c_mem_align_size) + 1)),
      mp_stack(new offset_t[m_max_blocks + 2]) {
    if (in_init) {
        mp_hdr->reset_count = 0;
        reset();
    }
}

class_heap_manager::class_heap_manager(OS::class_shared_memory* mem, OS::class_lock* lck, bool init)
    : class_heap_manager(mem->get_pointer(), mem->get_size(), lck, init) {
    mp_memory = mem;
}

class_heap_manager::~class_heap_manager() {}

void class_heap_manager::reset() {
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    u_int32_t resets = mp_hdr->reset_count;
    std::memset(mp_hdr, 0, sizeof(HEAP_HEADER));
    mp_hdr->free = GetMaximumSize();
    mp_hdr->reset_count = resets + 1;
    mp_hdr->lock_state = 1;
    HEAP_BLOCK* b = block_at(c_first_block);
    std::memset(b, 0xCD, sizeof(HEAP_BLOCK));
    b->len.key = GetMaximumSize();
    b->ptr.key = c_first_block;
    b->ref = 0;
    insert_free(c_first_block);
}

u_int32_t class_heap_manager::locked_read(const dword_t& in_word) const {
    OS::class_locker locker(mp_lock);
    return in_word;
}

void class_heap_manager::insert_free(offset_t in_block) {
    tree_t::insert_len_node(len_space(), mp_hdr->len, in_block);
    tree_t::insert_node(ptr_space(), mp_hdr->ptr, in_block + offsetof(HEAP_BLOCK, ptr));
}

void* class_heap_manager::alloc(u_int32_t in_len, const char* const& filename, int lines) {
    return alloc_2(in_len, 0, filename, lines);
}

void* class_heap_manager::alloc_2(u_int32_t in_len, u_int32_t min_free, const char* const& filename, int lines) {
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    walk_check(nullptr);
    compare_trees();

    // In 64 bits: a size near 4 GiB must not wrap into a small block.
    const u_int64_t need =
        (static_cast<u_int64_t>(in_len) + c_rear_guard_size + c_mem_align_size - 1) & ~u_int64_t(c_mem_align_size - 1);
    if (static_cast<u_int64_t>(min_free) + need + c_heap_block_size > mp_hdr->free) return nullptr;
    const u_int32_t need32 = static_cast<u_int32_t>(need);  // below free, so below 4 GiB

    const class_heap_space ls = len_space();
    offset_t b = tree_t::splay(ls, mp_hdr->len, need32);
    if (class_heap_space::is_none(b)) return nullptr;
    bool is_root = true;
    if (ls.node(b)->key < need32) {
        b = tree_t::leftmost(ls, ls.node(b)->right);
        if (class_heap_space::is_none(b)) return nullptr;
        is_root = false;
    }

    HEAP_BLOCK* blk = block_at(b);
    blk->ref = 1;
    tree_t::delete_len_node(ls, mp_hdr->len, b, is_root);
    tree_t::delete_node(ptr_space(), mp_hdr->ptr, b + offsetof(HEAP_BLOCK, ptr), false);

    u_int32_t charge = need32 + c_heap_block_size;
    const u_int32_t cap = blk->len.key;
    if (static_cast<u_int64_t>(cap) >= need + c_heap_block_size + c_mem_align_size) {
        blk->len.key = need32;
        const offset_t nb = b + c_heap_block_size + need32;
        HEAP_BLOCK* nblk = block_at(nb);
        nblk->len.key = cap - need32 - c_heap_block_size;
        nblk->ptr.key = nb;
        nblk->ref = 0;
        insert_free(nb);
    } else {
        charge = cap;
    }
    mp_hdr->free -= charge;
    mp_hdr->alloc += charge;

    blk->len.right = blk->len.left = 0;
    blk->ptr.right = blk->ptr.left = 0;
    blk->next = blk->prev = 0;
    blk->alloc_size = in_len;
    mp_hdr->alloc_count += 1;
    mp_hdr->refer_count += 1;

    // Measured before it is written: its zero may take the first front guard byte, no more.
    char site[c_site_size + 1];
    int n = std::snprintf(site, sizeof site, "%s-%d lines", filename ? filename : "(null)", lines);
    if (n < 0 || n > static_cast<int>(c_site_size)) mem_print("mem printf", "디버그가 내용 침범");
    std::memcpy(blk->str, site, static_cast<size_t>(n) < c_site_size ? static_cast<size_t>(n) + 1 : c_site_size);

    byte_t* payload = reinterpret_cast<byte_t*>(blk) + c_heap_block_size;
    std::memcpy(blk->front, c_front_guard, c_front_guard_size);
    std::memcpy(payload + in_len, c_rear_guard, c_rear_guard_size);
    // The block is whole: told before the checks, which walk the whole heap.
    if (mp_hook) mp_hook->on_taken(to_offset(payload));

    // The trees were just counted; the walk need not count them again.
    compare_trees();
    walk_check(payload);
    return payload;
}

void class_heap_manager::free(void* ptr, const char* const&, int) { release(ptr, true); }

bool class_heap_manager::free_if_allocated(void* ptr) {
    if (!is_block_pointer(ptr)) return false;
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    const u_int64_t target = to_offset(ptr) - c_heap_block_size;
    u_int64_t pos = c_first_block;
    while (pos < target && pos + c_heap_block_size <= m_size)
        pos += c_heap_block_size + static_cast<u_int64_t>(block_at(pos)->len.key);
    if (pos != target || block_at(pos)->ref == 0) return false;
    release(ptr, false);
    return true;
}

void class_heap_manager::release(void* ptr, bool in_recorded) {
    if (!is_block_pointer(ptr)) mem_print("KOVA MEMORY CRASHED!!\n", "THIS PROGRAM SHALL BE KILLED!!!!\n");
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    walk_check(ptr);
    compare_trees();
    if (in_recorded && mp_hook) mp_hook->on_released(to_offset(ptr));

    const offset_t b = to_offset(ptr) - c_heap_block_size;
    HEAP_BLOCK* blk = block_at(b);
    mp_hdr->refer_count -= 1;
    blk->ref -= 1;
    if (blk->ref > 0) return;
    mp_hdr->alloc_count -= 1;

    const class_heap_space ls = len_space();
    const class_heap_space ps = ptr_space();
    offset_t root = tree_t::splay(ps, mp_hdr->ptr, b);
    if (!class_heap_space::is_none(root) && ps.node(root)->key == b) {
        char title[64];
        std::snprintf(title, sizeof title, "Freeing an already freed memory %d", static_cast<int>(to_offset(ptr)));
        mem_print_pid(title);
    }

    const u_int32_t cap = blk->len.key;
    mp_hdr->free += cap;
    mp_hdr->alloc -= cap;

    bool absorbed = false;
    const u_int64_t n_off = static_cast<u_int64_t>(b) + c_heap_block_size + cap;
    if (n_off < m_size) {
        const offset_t r = tree_t::splay(ps, mp_hdr->ptr, static_cast<u_int32_t>(n_off));
        if (!class_heap_space::is_none(r)) {
            TREE_NODE* rn = ps.node(r);
            const offset_t p = rn->key >= n_off ? tree_t::rightmost(ps, rn->left) : r;
            if (rn->key == n_off) {
                HEAP_BLOCK* nblk = block_at(n_off);
                tree_t::delete_len_node(ls, mp_hdr->len, static_cast<offset_t>(n_off), false);
                tree_t::delete_node(ps, mp_hdr->ptr, r, true);
                blk->len.key = cap + c_heap_block_size + nblk->len.key;
                mp_hdr->free += c_heap_block_size;
                mp_hdr->alloc -= c_heap_block_size;
            }
            if (!class_heap_space::is_none(p)) {
                HEAP_BLOCK* pblk = ps.block_of(p);
                if (static_cast<u_int64_t>(pblk->ptr.key) + c_heap_block_size + pblk->len.key == blk->ptr.key) {
                    const offset_t pb = p - offsetof(HEAP_BLOCK, ptr);
                    tree_t::delete_len_node(ls, mp_hdr->len, pb, false);
                    pblk->len.key += c_heap_block_size + blk->len.key;
                    mp_hdr->free += c_heap_block_size;
                    mp_hdr->alloc -= c_heap_block_size;
                    tree_t::insert_len_node(ls, mp_hdr->len, pb);
                    absorbed = true;
                }
            }
        }
    }
    if (!absorbed) insert_free(b);

    compare_trees();
    walk_check(nullptr);
}

u_int32_t class_heap_manager::add_ref(void* ptr, const char* const& filename, int lines) {
    if (!is_block_pointer(ptr)) return 0;
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    HEAP_BLOCK* blk = block_at(to_offset(ptr) - c_heap_block_size);
    if (blk->ref == 0) {
        std::printf("refer freed memory %s(%d) - %.200s\n", filename ? filename : "(null)", lines, blk->str);
        std::fflush(stdout);
        _exit(-1);
    }
    traverse_check(ptr);
    mp_hdr->refer_count += 1;
    const u_int32_t ref = ++blk->ref;
    if (mp_hook) mp_hook->on_taken(to_offset(ptr));
    return ref;
}

u_int32_t class_heap_manager::get_ref(void* ptr) {
    if (!is_block_pointer(ptr)) return 0;
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    traverse_check(ptr);
    return block_at(to_offset(ptr) - c_heap_block_size)->ref;
}

u_int32_t class_heap_manager::get_size(const void* ptr) const {
    if (!is_block_pointer(ptr)) return 0;
    return block_at(to_offset(ptr) - c_heap_block_size)->len.key;
}

// ---- integrity checks ----

void class_heap_manager::check_allocated(const HEAP_BLOCK* pin_block, u_int64_t in_offset) const {
    const HEAP_BLOCK* b = pin_block;
    if (b->ref != 0) {
        if (b->len.right || b->len.left || b->ptr.right || b->ptr.left)
            mem_print("is_clean_memory", "트리노드 이상");
        if (b->prev || b->next) mem_print("is_clean_memory", "해제블럭 링크드 리스트 이상");
    }
    if (std::memcmp(b->front, c_front_guard, c_front_guard_size) != 0)
        mem_print_site("메모리 전방 손상\n%s", b->str);
    // A size that would put the rear guard past the segment is damage of the same kind.
    const u_int64_t rear = in_offset + c_heap_block_size + b->alloc_size;
    if (rear + c_rear_guard_size > m_size ||
        std::memcmp(base() + rear, c_rear_guard, c_rear_guard_size) != 0)
        mem_print_site("메모리 후방 손상\n%s", b->str);
}

bool class_heap_manager::is_clean_memory(void* ptr) const {
    if (!is_block_pointer(ptr)) mem_print("is_clean_memory", "not shared memory");
    const u_int64_t b = to_offset(ptr) - c_heap_block_size;
    check_allocated(block_at(b), b);
    return true;
}

void class_heap_manager::walk_check(const void* ptr) const {
    u_int64_t target = c_no_block;
    if (ptr && is_block_pointer(ptr)) target = to_offset(ptr) - c_heap_block_size;
    bool met = false;
    // 64-bit positions: a damaged capacity cannot wrap the walk back, and each step is at least 256.
    u_int64_t pos = c_first_block;
    while (pos < m_size) {
        if (pos + c_heap_block_size > m_size || (pos & 3) != 0) mem_print("is_clean_memory", "not shared memory");
        const HEAP_BLOCK* b = block_at(pos);
        const u_int32_t ref = b->ref;
        const u_int64_t next = pos + c_heap_block_size + static_cast<u_int64_t>(b->len.key);
        // The walk is a chain of dependent reads: start the next header's before checking this block.
        if (next < m_size) __builtin_prefetch(base() + next);
        if (ref != 0) check_allocated(b, pos);
        if (pos == target) {
            met = true;
            if (ref == 0) mem_print_site("this pointer is not allocated memory\n%s", b->str);
        }
        pos = next;
    }
    if (ptr && !met) {
        char where[32];
        std::snprintf(where, sizeof where, "mm(%llu)",
                      static_cast<unsigned long long>(reinterpret_cast<const byte_t*>(ptr) - base()));
        mem_print_site("this pointer is not memory block\n%s", where);
    }
}

void class_heap_manager::compare_trees() const {
    if (VerifyPtrTree() != VerifyLenTree()) mem_print("Memory Tree is not eq!", "kova");
}

bool class_heap_manager::traverse_check(const void* ptr) const {
    walk_check(ptr);
    compare_trees();
    return true;
}

bool class_heap_manager::locked_traverse_check(const void* ptr) const {
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    return traverse_check(ptr);
}

size_t class_heap_manager::VerifyPtrTree() const {
    size_t n = tree_t::count_nodes(ptr_space(), mp_hdr->ptr, mp_stack.get());
    if (n == tree_t::c_broken) mem_print("Memory Tree is not eq!", "kova");
    return n;
}

size_t class_heap_manager::VerifyLenTree(u_int64_t* pout_sum) const {
    size_t n = tree_t::count_len_nodes(len_space(), mp_hdr->len, mp_stack.get(), pout_sum, c_heap_block_size);
    if (n == tree_t::c_broken) mem_print("Memory Tree is not eq!", "kova");
    return n;
}

size_t class_heap_manager::CountLeftNodes(offset_t in_node) const {
    const class_heap_space ps = ptr_space();
    if (!ps.is_valid(in_node)) return 0;
    size_t n = tree_t::count_nodes(ps, ps.node(in_node)->left, mp_stack.get());
    return n == tree_t::c_broken ? 0 : n;
}

size_t class_heap_manager::CountRightNodes(offset_t in_node) const {
    const class_heap_space ps = ptr_space();
    if (!ps.is_valid(in_node)) return 0;
    size_t n = tree_t::count_nodes(ps, ps.node(in_node)->right, mp_stack.get());
    return n == tree_t::c_broken ? 0 : n;
}

size_t class_heap_manager::traverse() const {
    size_t n = 0;
    u_int64_t pos = c_first_block;
    while (pos + c_heap_block_size <= m_size && (pos & 3) == 0) {
        ++n;
        pos += c_heap_block_size + static_cast<u_int64_t>(block_at(pos)->len.key);
    }
    return n;
}

// ---- status and dump ----

namespace {

void print_counters(const HEAP_HEADER* pin_hdr) {
    std::printf("reset_acount = %d, remain = %d, alloc_count = %d, refer_count = %d\n",
                static_cast<int32_t>(pin_hdr->reset_count), static_cast<int32_t>(pin_hdr->free),
                static_cast<int32_t>(pin_hdr->alloc_count), static_cast<int32_t>(pin_hdr->refer_count));
}

}  // namespace

const char* class_heap_manager::get_status() const {
    OS::class_locker locker(mp_lock, &mp_hdr->lock_state);
    traverse();
    const size_t p = VerifyPtrTree();
    const size_t l = VerifyLenTree();
    std::snprintf(g_status_line, sizeof g_status_line, "T=%ld,F=%ld,L=%ld,P=%ld,X=%s",
                  static_cast<long>(GetMaximumSize()), static_cast<long>(mp_hdr->free), static_cast<long>(l),
                  static_cast<long>(p), "false");
    std::printf("%s\n", g_status_line);
    print_counters(mp_hdr);
    return g_status_line;
}

const char* class_heap_manager::get_status_forcefully() const {
    // Never through a symbolic link (nor into a FIFO without reader): the dump is written
    // wherever the operator stands, often as root.
    const int fd = open("shared_memory.dump", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr) {
        std::fwrite(base(), 1, static_cast<size_t>(m_size), f);
        std::fclose(f);
    } else if (fd >= 0) {
        close(fd);
    }
    std::snprintf(g_short_status_line, sizeof g_short_status_line, "T=%ld,F=%ld",
                  static_cast<long>(GetMaximumSize()), static_cast<long>(mp_hdr->free));
    std::printf("%s\n", g_short_status_line);
    print_counters(mp_hdr);
    return g_short_status_line;
}

}  // namespace Memory
}  // namespace Pimo
