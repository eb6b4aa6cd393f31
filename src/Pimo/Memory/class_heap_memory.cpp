#include "Pimo/Memory/class_heap_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Pimo {
namespace Memory {

namespace {
constexpr size_t c_status_size = 200;
}  // namespace

typedef class_heap_memory::tree_node_t tree_node_t;
typedef class_heap_memory::heap_block_t heap_block_t;

// Nothing checks a private heap as it runs; a tree walk that cannot end means the region
// was written over, and going on would spread the damage.
void class_heap_memory::class_space::on_broken() const { std::abort(); }

void class_heap_memory::initialize(void* pin, size_t in_size) {
    m_p = static_cast<byte_t*>(pin);
    m_size = in_size;
    m_hdr = nullptr;
    reset();
}

void class_heap_memory::reset() {
    if (!m_p || m_size < c_overhead) {
        m_hdr = nullptr;  // no room for a heap: every allocation is refused
        return;
    }
    m_hdr = reinterpret_cast<heap_header_t*>(m_p);
    std::memset(m_hdr, 0, c_header_size);
    const size_t maximum = m_size - c_overhead;
    m_hdr->free = maximum;
    heap_block_t* b = first_block();
    std::memset(b, 0xCD, c_block_size);
    b->len_node.key = maximum;
    b->ptr_node.key = reinterpret_cast<u_int64_t>(b);
    b->ref = 0;
    insert_free(b);
}

tree_node_t* class_heap_memory::splay(tree_node_t*& in_root, u_int64_t in_key) {
    return tree_t::splay(len_space(), in_root, in_key);
}

void class_heap_memory::insert_node(tree_node_t*& in_root, tree_node_t* in_node) {
    tree_t::insert_node(len_space(), in_root, in_node);
}

void class_heap_memory::delete_node(tree_node_t*& in_root, tree_node_t* in_node, bool in_splayed) {
    tree_t::delete_node(len_space(), in_root, in_node, in_splayed);
}

void class_heap_memory::insert_len_node(heap_block_t* in_block) {
    tree_t::insert_len_node(len_space(), m_hdr->p_len_node, &in_block->len_node);
}

void class_heap_memory::delete_len_node(heap_block_t* in_block, bool in_splayed) {
    tree_t::delete_len_node(len_space(), m_hdr->p_len_node, &in_block->len_node, in_splayed);
}

void class_heap_memory::insert_free(heap_block_t* pin_block) {
    insert_len_node(pin_block);
    insert_node(m_hdr->p_ptr_node, &pin_block->ptr_node);
}

void* class_heap_memory::alloc(size_t len) {
    if (!m_hdr || len == 0) return nullptr;
    // Beyond the region the rounding below would wrap and hand out a small block.
    if (len > get_maximum_size()) return nullptr;
    const size_t need = (len + 8) & ~static_cast<size_t>(7);
    if (need + c_block_size > m_hdr->free) return nullptr;

    tree_node_t* root = splay(m_hdr->p_len_node, need);
    if (!root) return nullptr;
    tree_node_t* t = root;
    if (t->key < need) {
        t = tree_t::leftmost(len_space(), root->right);
        if (!t) return nullptr;
    }
    heap_block_t* b = reinterpret_cast<heap_block_t*>(t);  // the size node is first in the block
    delete_len_node(b, t == root);
    delete_node(m_hdr->p_ptr_node, &b->ptr_node, false);

    size_t charge = need + c_block_size;
    if (b->len_node.key >= need + c_block_size + 8) {
        heap_block_t* n = reinterpret_cast<heap_block_t*>(payload_of(b) + need);
        n->len_node.key = b->len_node.key - need - c_block_size;
        n->ptr_node.key = reinterpret_cast<u_int64_t>(n);
        n->ref = 0;
        insert_free(n);
        b->len_node.key = need;
    } else {
        charge = b->len_node.key;
    }
    m_hdr->free -= charge;
    m_hdr->alloc += charge;
    b->len_node.left = b->len_node.right = nullptr;
    b->ptr_node.left = b->ptr_node.right = nullptr;
    b->p_next = b->p_prev = nullptr;
    b->ref = 1;
    payload_of(b)[need - 1] = 0;
    ++m_hdr->alloc_count;
    return payload_of(b);
}

void class_heap_memory::free(void* ptr_node) {
    // A pointer below the first payload would put its block header over the region header.
    if (!m_hdr || !ptr_node || !is_pointer(ptr_node) || static_cast<byte_t*>(ptr_node) < m_p + c_overhead) return;
    heap_block_t* b = block_of_payload(ptr_node);
    const u_int64_t self = reinterpret_cast<u_int64_t>(b);
    tree_node_t* r = splay(m_hdr->p_ptr_node, self);
    if (r && r->key == self) return;  // already free

    --m_hdr->alloc_count;
    b->ref = 0;
    m_hdr->free += b->len_node.key;
    m_hdr->alloc -= b->len_node.key;

    bool absorbed = false;
    heap_block_t* next = reinterpret_cast<heap_block_t*>(payload_of(b) + b->len_node.key);
    if (reinterpret_cast<byte_t*>(next) < m_p + m_size) {
        const u_int64_t next_key = reinterpret_cast<u_int64_t>(next);
        r = splay(m_hdr->p_ptr_node, next_key);
        if (r) {
            tree_node_t* prev = r->key >= next_key ? tree_t::rightmost(ptr_space(), r->left) : r;
            if (r->key == next_key) {
                delete_len_node(next, false);
                delete_node(m_hdr->p_ptr_node, &next->ptr_node, true);
                b->len_node.key += c_block_size + next->len_node.key;
                m_hdr->free += c_block_size;
                m_hdr->alloc -= c_block_size;
            }
            if (prev) {
                heap_block_t* p = ptr_space().block_of(prev);
                if (prev->key + c_block_size + p->len_node.key == self) {
                    delete_len_node(p, false);
                    p->len_node.key += c_block_size + b->len_node.key;
                    m_hdr->free += c_block_size;
                    m_hdr->alloc -= c_block_size;
                    insert_len_node(p);
                    absorbed = true;
                }
            }
        }
    }
    if (!absorbed) insert_free(b);
}

size_t class_heap_memory::get_size(const void* p) const {
    if (!m_hdr || !p || !is_pointer(p) || static_cast<const byte_t*>(p) < m_p + c_overhead) return 0;
    return reinterpret_cast<const heap_block_t*>(static_cast<const byte_t*>(p) - c_block_size)->len_node.key;
}

size_t class_heap_memory::traverse(size_t* pout_free) const {
    size_t blocks = 0, free_blocks = 0;
    if (m_hdr) {
        const byte_t* end = m_p + m_size;
        for (const byte_t* pos = m_p + c_header_size; pos + c_block_size <= end && blocks <= max_blocks();) {
            const heap_block_t* b = reinterpret_cast<const heap_block_t*>(pos);
            ++blocks;
            if (b->ref == 0) ++free_blocks;
            if (b->len_node.key > static_cast<size_t>(end - pos)) break;  // a capacity past the end
            pos += c_block_size + b->len_node.key;
        }
    }
    if (pout_free) *pout_free = free_blocks;
    return blocks;
}

// The walk needs a stack as deep as the tree can be; the tiling bounds it by the free blocks.
size_t class_heap_memory::count_tree(tree_node_t* in_root, bool in_len_tree) const {
    if (!m_hdr) return 0;
    size_t free_blocks = 0;
    traverse(&free_blocks);
    std::vector<tree_node_t*> stack(free_blocks + 2);
    const class_space s = in_len_tree ? len_space(free_blocks) : ptr_space(free_blocks);
    return in_len_tree ? tree_t::count_len_nodes(s, in_root, stack.data()) : tree_t::count_nodes(s, in_root, stack.data());
}

size_t class_heap_memory::verify_ptr_tree() const { return m_hdr ? count_tree(m_hdr->p_ptr_node, false) : 0; }

size_t class_heap_memory::verify_len_tree() const { return m_hdr ? count_tree(m_hdr->p_len_node, true) : 0; }

size_t class_heap_memory::count_left_nodes(tree_node_t* in_node) const {
    if (!is_block(ptr_space().block_of(in_node))) return 0;
    const size_t n = count_tree(in_node->left, false);
    return n == tree_t::c_broken ? 0 : n;
}

size_t class_heap_memory::count_right_nodes(tree_node_t* in_node) const {
    if (!is_block(ptr_space().block_of(in_node))) return 0;
    const size_t n = count_tree(in_node->right, false);
    return n == tree_t::c_broken ? 0 : n;
}

const char* class_heap_memory::get_status() {
    static thread_local char text[c_status_size];
    const size_t l = verify_len_tree();
    const size_t p = verify_ptr_tree();
    std::snprintf(text, sizeof text, "T=%ld,F=%ld,L=%ld,P=%ld", static_cast<long>(get_maximum_size()),
                  static_cast<long>(get_free_size()), static_cast<long>(l), static_cast<long>(p));
    return text;
}

}  // namespace Memory
}  // namespace Pimo
