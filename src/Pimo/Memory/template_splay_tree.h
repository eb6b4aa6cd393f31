// Top-down splay trees and the lists of equal keys, over any link representation.
//
// The shared heap links its nodes by offsets from the segment base, a private heap by
// pointers; both drive this code through a Space that turns a link into a node:
//   typedef link_t, key_t, node_t          node_t has members key, right, left
//   static bool is_none(link_t)            link_t none()
//   node_t* node(link_t) const             the node a link names
//   bool is_valid(link_t) const            the record a link names lies inside the region
//   link_t& next(link_t), prev(link_t)     list links of a size-tree record
//   size_t step_limit() const              more nodes than this cannot exist
//   void on_broken() const                 a walk met a link that cannot be followed
#pragma once

#include <cstddef>
#include <cstdint>

namespace Pimo {
namespace Memory {

template <class Space>
class template_splay_tree {
public:
    typedef typename Space::link_t link_t;
    typedef typename Space::key_t key_t;
    typedef typename Space::node_t node_t;

    static constexpr size_t c_broken = SIZE_MAX;

    // Splays the tree rooted at in_root for in_key; afterwards the root holds in_key, or the
    // largest key below it, or the smallest above it.
    static link_t splay(const Space& s, link_t& in_root, key_t in_key) {
        if (Space::is_none(in_root)) return s.none();
        node_t assembly;
        assembly.left = assembly.right = s.none();
        node_t* l = &assembly;  // highest point of the left tree
        node_t* r = &assembly;  // lowest point of the right tree
        link_t t = in_root;
        node_t* tn = s.node(t);
        // A sound tree is left in fewer steps than there can be nodes; a cycle is not.
        for (size_t steps = 0;; ++steps) {
            if (steps > s.step_limit()) s.on_broken();
            if (in_key == tn->key) break;
            if (in_key < tn->key) {
                if (Space::is_none(tn->left)) break;
                node_t* yn = s.node(tn->left);
                if (in_key < yn->key) {
                    link_t y = tn->left;
                    tn->left = yn->right;
                    yn->right = t;
                    t = y;
                    tn = yn;
                    if (Space::is_none(tn->left)) break;
                }
                r->left = t;
                r = tn;
                t = tn->left;
                tn = s.node(t);
            } else {
                if (Space::is_none(tn->right)) break;
                node_t* yn = s.node(tn->right);
                if (in_key > yn->key) {
                    link_t y = tn->right;
                    tn->right = yn->left;
                    yn->left = t;
                    t = y;
                    tn = yn;
                    if (Space::is_none(tn->right)) break;
                }
                l->right = t;
                l = tn;
                t = tn->right;
                tn = s.node(t);
            }
        }
        l->right = tn->left;
        r->left = tn->right;
        tn->left = assembly.right;
        tn->right = assembly.left;
        in_root = t;
        return t;
    }

    // Inserts in_n beside a root that was just splayed for its key.
    static void insert_splayed(const Space& s, link_t& in_root, link_t in_n) {
        node_t* nn = s.node(in_n);
        if (Space::is_none(in_root)) {
            nn->left = nn->right = s.none();
        } else {
            node_t* rn = s.node(in_root);
            if (nn->key >= rn->key) {
                nn->left = in_root;
                nn->right = rn->right;
                rn->right = s.none();
            } else {
                nn->left = rn->left;
                nn->right = in_root;
                rn->left = s.none();
            }
        }
        in_root = in_n;
    }

    static void insert_node(const Space& s, link_t& in_root, link_t in_n) {
        splay(s, in_root, s.node(in_n)->key);
        insert_splayed(s, in_root, in_n);
    }

    // Removes the node with in_t's key; in_splayed says the root was already splayed for it.
    static void delete_node(const Space& s, link_t& in_root, link_t in_t, bool in_splayed) {
        key_t key = s.node(in_t)->key;
        if (!in_splayed) splay(s, in_root, key);
        if (Space::is_none(in_root)) return;
        node_t* rn = s.node(in_root);
        if (rn->key != key) return;
        if (!Space::is_none(rn->left)) {
            link_t x = rn->left;
            splay(s, x, key);  // the left subtree's largest node rises and has no right child
            s.node(x)->right = rn->right;
            in_root = x;
        } else {
            in_root = rn->right;
        }
    }

    // Size tree: one node per distinct key, the other records of that key in a list behind it.
    static void insert_len_node(const Space& s, link_t& in_root, link_t in_b) {
        key_t key = s.node(in_b)->key;
        splay(s, in_root, key);
        if (!Space::is_none(in_root) && s.node(in_root)->key == key) {
            link_t first = s.next(in_root);
            s.next(in_b) = first;
            s.prev(in_b) = in_root;
            s.next(in_root) = in_b;
            if (!Space::is_none(first)) s.prev(first) = in_b;
            return;
        }
        s.next(in_b) = s.none();
        s.prev(in_b) = s.none();
        insert_splayed(s, in_root, in_b);
    }

    static void delete_len_node(const Space& s, link_t& in_root, link_t in_b, bool in_splayed) {
        link_t prev = s.prev(in_b);
        link_t next = s.next(in_b);
        if (!Space::is_none(prev)) {
            s.next(prev) = next;
            if (!Space::is_none(next)) s.prev(next) = prev;
            return;
        }
        if (Space::is_none(next)) {
            delete_node(s, in_root, in_b, in_splayed);
            return;
        }
        key_t key = s.node(in_b)->key;
        if (!in_splayed) splay(s, in_root, key);
        if (Space::is_none(in_root)) return;
        node_t* rn = s.node(in_root);
        if (rn->key != key) return;
        link_t m = s.next(in_root);
        node_t* mn = s.node(m);
        mn->left = rn->left;
        mn->right = rn->right;
        s.prev(m) = s.none();
        in_root = m;
    }

    static link_t leftmost(const Space& s, link_t in_t) {
        if (Space::is_none(in_t)) return in_t;
        for (size_t steps = 0; !Space::is_none(s.node(in_t)->left); ++steps) {
            if (steps > s.step_limit()) s.on_broken();
            in_t = s.node(in_t)->left;
        }
        return in_t;
    }

    static link_t rightmost(const Space& s, link_t in_t) {
        if (Space::is_none(in_t)) return in_t;
        for (size_t steps = 0; !Space::is_none(s.node(in_t)->right); ++steps) {
            if (steps > s.step_limit()) s.on_broken();
            in_t = s.node(in_t)->right;
        }
        return in_t;
    }

    // Nodes of a tree, without recursion (a splay tree may be a chain as long as the heap)
    // and without trusting it: c_broken for a link outside the region or more nodes than
    // can exist. pin_stack holds at least step_limit() + 2 links.
    static size_t count_nodes(const Space& s, link_t in_root, link_t* pin_stack) {
        return count(s, in_root, pin_stack, false, nullptr);
    }

    // Records of the size tree with their lists; pout_sum (if given) adds key + in_extra of each.
    static size_t count_len_nodes(const Space& s, link_t in_root, link_t* pin_stack,
                                  std::uint64_t* pout_sum = nullptr, std::uint64_t in_extra = 0) {
        return count(s, in_root, pin_stack, true, pout_sum, in_extra);
    }

private:
    static size_t count(const Space& s, link_t in_root, link_t* pin_stack, bool in_lists,
                        std::uint64_t* pout_sum, std::uint64_t in_extra = 0) {
        if (Space::is_none(in_root)) return 0;
        const size_t limit = s.step_limit();
        size_t depth = 0;
        size_t n = 0;
        std::uint64_t sum = 0;
        pin_stack[depth++] = in_root;
        while (depth > 0) {
            link_t t = pin_stack[--depth];
            if (!s.is_valid(t) || ++n > limit) return c_broken;
            const node_t* tn = s.node(t);
            sum += static_cast<std::uint64_t>(tn->key) + in_extra;
            if (in_lists) {
                for (link_t m = s.next(t); !Space::is_none(m); m = s.next(m)) {
                    if (!s.is_valid(m) || ++n > limit) return c_broken;
                    sum += static_cast<std::uint64_t>(s.node(m)->key) + in_extra;
                }
            }
            // Every pushed link is counted before more than limit + 1 can wait.
            if (!Space::is_none(tn->left)) pin_stack[depth++] = tn->left;
            if (!Space::is_none(tn->right)) pin_stack[depth++] = tn->right;
        }
        if (pout_sum) *pout_sum = sum;
        return n;
    }
};

}  // namespace Memory
}  // namespace Pimo
