#include "Pimo/Memory/interface_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"

using namespace Pimo::Memory;

namespace {

// Under the platform's C++ ABI a pointer to a virtual member holds 1 + the slot's byte offset.
template <class F>
std::uintptr_t slot_of(F in_f) {
    static_assert(sizeof(F) == 2 * sizeof(void*), "pointer to member of this ABI");
    std::uintptr_t v;
    std::memcpy(&v, &in_f, sizeof v);
    return (v - 1) / sizeof(void*);
}

}  // namespace

TEST(interface_memory, virtual_slots_follow_the_two_destructors_in_order) {
    EXPECT_EQ(slot_of(&interface_memory::proc_stop), 2u);
    EXPECT_EQ(slot_of(&interface_memory::proc_continue), 3u);
    EXPECT_EQ(slot_of(&interface_memory::eproc_alloc), 4u);
    EXPECT_EQ(slot_of(&interface_memory::eproc_alloc_2), 5u);
    EXPECT_EQ(slot_of(&interface_memory::proc_free), 6u);
    EXPECT_EQ(slot_of(&interface_memory::add_ref_get), 7u);
    EXPECT_EQ(slot_of(&interface_memory::get_ref), 8u);
    EXPECT_EQ(slot_of(&interface_memory::get_addr), 9u);
    EXPECT_EQ(slot_of(&interface_memory::get_mm), 10u);
    EXPECT_EQ(slot_of(&interface_memory::get_size), 11u);
    EXPECT_EQ(slot_of(&interface_memory::is_clean_memory), 12u);
    EXPECT_EQ(slot_of(&interface_memory::traverse_check), 13u);
    // The host-wide memory adds none before them.
    EXPECT_EQ(slot_of(&class_dynamic_shared_ref_memory::proc_stop), 2u);
    EXPECT_EQ(slot_of(&class_dynamic_shared_ref_memory::traverse_check), 13u);
}
