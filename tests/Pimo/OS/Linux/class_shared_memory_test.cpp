#include "Pimo/OS/Linux/class_shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "named_test_support.h"

using namespace Pimo::OS;
using kova_test::child_process;

namespace {

class shared_memory : public kova_test::named_fixture {
protected:
    const char* tag() const override { return "shm"; }

    // Changes the length of the segment behind the library's back (segments are world-writable).
    void resize_segment(off_t in_size) {
        int fd = shm_open(m_name.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, in_size), 0);
        close(fd);
    }
};

TEST_F(shared_memory, opener_maps_the_creators_size_and_contents_across_processes) {
    child_process a = start_probe({"shm_create", m_name, "8192"});
    ASSERT_TRUE(a.wait_for_line("create 0"));

    class_shared_memory m;
    EXPECT_EQ(m.eproc_create(m_name, 4096), c_vimra_already_exists);
    EXPECT_EQ(m.get_pointer(), nullptr);
    ASSERT_EQ(m.eproc_open(m_name), c_vimra_success);
    ASSERT_EQ(m.get_size(), 8192u);
    const unsigned char* p = static_cast<const unsigned char*>(m.get_pointer());
    EXPECT_EQ(p[0], 0xA5);
    EXPECT_EQ(p[8191], 0xA5);

    EXPECT_TRUE(m.is_pointer(p));
    EXPECT_TRUE(m.is_pointer(p + 8191));
    EXPECT_FALSE(m.is_pointer(p + 8192));
    EXPECT_EQ(m.to_offset(p + 100), 100u);
    EXPECT_EQ(m.to_pointer(100), p + 100);

    a.kill_now();
    a.wait();
    class_shared_memory c;
    EXPECT_EQ(c.eproc_create(m_name, 4096), c_vimra_already_exists) << "the opener keeps it live";
    m.proc_close();
    EXPECT_EQ(m.get_pointer(), nullptr);
    EXPECT_EQ(c.eproc_open(m_name), c_vimra_not_created) << "left only by ended processes";
    ASSERT_EQ(c.eproc_create_app(m_name, 4096), c_vimra_success) << "leftovers are taken over";
    EXPECT_EQ(c.get_size(), 4096u);
    class_shared_memory d;
    ASSERT_EQ(d.eproc_open_app(m_name, 0), c_vimra_success);
    EXPECT_EQ(d.get_size(), 4096u);
    d.proc_close();
    c.proc_destroy();
}

TEST_F(shared_memory, open_without_companion_fails_and_with_companion_only_is_not_created) {
    class_shared_memory m;
    EXPECT_EQ(m.eproc_open(m_name), c_vimra_unknown) << "no object of the name ever existed";
    int fd = shm_open((m_name + "_cr_lock").c_str(), O_RDWR | O_CREAT, 0777);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(m.eproc_open(m_name), c_vimra_not_created);
    EXPECT_EQ(m.get_pointer(), nullptr);
}

TEST_F(shared_memory, failed_mapping_is_reported_and_leaves_nothing_live) {
    // Larger than the address space: the length is accepted, the mapping is not.
    const size_t huge = size_t(1) << 48;
    class_shared_memory m;
    EXPECT_EQ(m.eproc_create(m_name, huge), c_vimra_unknown);
    EXPECT_EQ(m.get_pointer(), nullptr);
    class_shared_memory other;
    EXPECT_EQ(other.eproc_open(m_name), c_vimra_not_created) << "the failed creator let go of the name";

    ASSERT_EQ(m.eproc_create(m_name, 4096), c_vimra_success);
    resize_segment(static_cast<off_t>(huge));
    EXPECT_EQ(other.eproc_open(m_name), c_vimra_unknown);
    EXPECT_EQ(other.get_pointer(), nullptr);
    class_shared_memory third;
    EXPECT_EQ(third.eproc_create(m_name, 4096), c_vimra_already_exists) << "creator still live";
    m.proc_destroy();
}

TEST_F(shared_memory, zero_size_segment_cannot_be_mapped) {
    class_shared_memory m;
    EXPECT_EQ(m.eproc_create(m_name, 0), c_vimra_unknown);
    EXPECT_EQ(m.get_pointer(), nullptr);
}

TEST_F(shared_memory, destroy_unmaps_only_what_was_mapped_even_if_the_segment_grew) {
    class_shared_memory m;
    ASSERT_EQ(m.eproc_create(m_name, 4096), c_vimra_success);
    char* end = static_cast<char*>(m.get_pointer()) + 4096;
    // Make sure the page after the view is mapped, by us if nobody else has it.
    void* mine = mmap(end, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    bool placed = mine == end;
    if (mine != MAP_FAILED && !placed) munmap(mine, 4096);
    unsigned char vec;
    ASSERT_EQ(mincore(end, 4096, &vec), 0) << "page after the view should be mapped";

    resize_segment(1 << 20);
    m.proc_destroy();
    EXPECT_EQ(mincore(end, 4096, &vec), 0) << "the neighbour of the view was unmapped";
    if (placed) munmap(end, 4096);
}

TEST_F(shared_memory, extra_views_map_and_unmap) {
    class_shared_memory m;
    ASSERT_EQ(m.eproc_create(m_name, 8192), c_vimra_success);
    char* v = static_cast<char*>(m.view(8192));
    ASSERT_NE(v, nullptr);
    std::strcpy(v, "seen through both");
    EXPECT_STREQ(static_cast<char*>(m.get_pointer()), "seen through both");
    m.proc_unmap_view(v);
    m.commit(m.get_pointer(), 8192);
    m.proc_destroy();
    EXPECT_EQ(m.view(16), nullptr) << "no view without a descriptor";
}

}  // namespace
