// A heap over one region of private memory: the shared heap's scheme (best fit from a size
// tree with lists of equal sizes, an address tree for merging, 8-byte steps) with pointers
// as links, a 72-byte block header, no reference counts, no guards and no lock.
#pragma once

#include <cstddef>

#include "Pimo/Memory/template_splay_tree.h"
#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace Memory {

class class_heap_memory {
public:
    struct tree_node_t {
        u_int64_t key;  // a capacity in the size tree, the block's own address in the address tree
        tree_node_t* right;
        tree_node_t* left;
    };

    struct heap_header_t {
        tree_node_t* p_len_node;
        tree_node_t* p_ptr_node;
        size_t free;
        size_t alloc;
        size_t alloc_count;
    };

    struct heap_block_t {
        tree_node_t len_node;
        tree_node_t ptr_node;
        u_int64_t ref;  // 1 while allocated
        tree_node_t* p_next;  // free blocks of the same capacity, by their size-tree node
        tree_node_t* p_prev;
    };

    static constexpr size_t c_header_size = sizeof(heap_header_t);
    static constexpr size_t c_block_size = sizeof(heap_block_t);
    // The header and one block header: a smaller region holds no heap.
    static constexpr size_t c_overhead = c_header_size + c_block_size;

    class_heap_memory() : m_p(nullptr), m_size(0), m_hdr(nullptr) {}

    // Takes the region and resets it through the virtual reset.
    void initialize(void* pin, size_t in_size);

    virtual void reset();
    virtual void* alloc(size_t len);
    virtual void free(void* ptr_node);
    // "T=%ld,F=%ld,L=%ld,P=%ld" in a buffer of the calling thread.
    virtual const char* get_status();

    size_t get_free_size() const { return m_hdr ? m_hdr->free : 0; }
    size_t get_alloc_count() const { return m_hdr ? m_hdr->alloc_count : 0; }
    size_t get_allocated_size() const { return m_hdr ? m_hdr->alloc : 0; }
    size_t get_maximum_size() const { return m_hdr ? m_size - c_overhead : 0; }
    bool is_pointer(const void* p) const {
        const byte_t* b = static_cast<const byte_t*>(p);
        return m_p && b >= m_p + c_header_size && b < m_p + m_size;
    }
    size_t get_size(const void* p) const;

    // Free blocks through the address tree and through the size tree with its lists;
    // SIZE_MAX when a tree cannot be sound.
    size_t verify_ptr_tree() const;
    size_t verify_len_tree() const;
    // Nodes below an address-tree node on either side (0 for a node outside the heap).
    size_t count_left_nodes(tree_node_t* in_node) const;
    size_t count_right_nodes(tree_node_t* in_node) const;
    // Blocks of the tiling, and the free ones among them.
    size_t traverse(size_t* pout_free = nullptr) const;
    size_t traverse_len_tree() const { return verify_len_tree(); }
    size_t traverse_ptr_tree() const { return verify_ptr_tree(); }

protected:
    // How the shared tree code reaches a private heap's nodes: links are plain pointers.
    class class_space {
    public:
        typedef tree_node_t* link_t;
        typedef u_int64_t key_t;
        typedef tree_node_t node_t;

        class_space(const class_heap_memory& in_heap, size_t in_node_offset, size_t in_limit)
            : m_heap(in_heap), m_node_offset(in_node_offset), m_limit(in_limit) {}
        static bool is_none(link_t in_link) { return in_link == nullptr; }
        static link_t none() { return nullptr; }
        node_t* node(link_t in_link) const { return in_link; }
        heap_block_t* block_of(link_t in_link) const {
            return reinterpret_cast<heap_block_t*>(reinterpret_cast<byte_t*>(in_link) - m_node_offset);
        }
        bool is_valid(link_t in_link) const { return m_heap.is_block(block_of(in_link)); }
        link_t& next(link_t in_link) const { return block_of(in_link)->p_next; }
        link_t& prev(link_t in_link) const { return block_of(in_link)->p_prev; }
        size_t step_limit() const { return m_limit; }
        [[noreturn]] void on_broken() const;

    private:
        const class_heap_memory& m_heap;
        size_t m_node_offset;
        size_t m_limit;
    };
    typedef template_splay_tree<class_space> tree_t;

    class_space len_space(size_t in_limit) const { return class_space(*this, 0, in_limit); }
    class_space ptr_space(size_t in_limit) const {
        return class_space(*this, offsetof(heap_block_t, ptr_node), in_limit);
    }
    class_space len_space() const { return len_space(max_blocks()); }
    class_space ptr_space() const { return ptr_space(max_blocks()); }

    // Splay, insert and delete touch only keys and children, so they serve either tree.
    tree_node_t* splay(tree_node_t*& in_root, u_int64_t in_key);
    void insert_node(tree_node_t*& in_root, tree_node_t* in_node);
    void delete_node(tree_node_t*& in_root, tree_node_t* in_node, bool in_splayed);
    void insert_len_node(heap_block_t* in_block);
    void delete_len_node(heap_block_t* in_block, bool in_splayed);

    // A block header that lies wholly inside the tiled part of the region.
    bool is_block(const heap_block_t* pin_block) const {
        const byte_t* b = reinterpret_cast<const byte_t*>(pin_block);
        return m_hdr && b >= m_p + c_header_size && b + c_block_size <= m_p + m_size &&
               (static_cast<size_t>(b - m_p) & 7) == 0;
    }
    heap_block_t* first_block() const { return reinterpret_cast<heap_block_t*>(m_p + c_header_size); }
    static heap_block_t* block_of_payload(void* p) {
        return reinterpret_cast<heap_block_t*>(static_cast<byte_t*>(p) - c_block_size);
    }
    static byte_t* payload_of(heap_block_t* pin_block) { return reinterpret_cast<byte_t*>(pin_block) + c_block_size; }
    size_t max_blocks() const { return m_size / c_block_size + 1; }
    void insert_free(heap_block_t* pin_block);
    size_t count_tree(tree_node_t* in_root, bool in_len_tree) const;

    byte_t* m_p;
    size_t m_size;
    heap_header_t* m_hdr;
};

static_assert(sizeof(class_heap_memory::heap_header_t) == 40, "heap header is 40 bytes");
static_assert(sizeof(class_heap_memory::tree_node_t) == 24, "tree node is 24 bytes");
static_assert(sizeof(class_heap_memory::heap_block_t) == 72, "block header is 72 bytes");
static_assert(offsetof(class_heap_memory::heap_block_t, len_node) == 0, "size node first");
static_assert(offsetof(class_heap_memory::heap_block_t, ptr_node) == 24, "address node second");
static_assert(offsetof(class_heap_memory::heap_block_t, ref) == 48, "ref after the nodes");

}  // namespace Memory
}  // namespace Pimo
