// The SDK's packet memory handle: the process's gp_memory while it lives, and
// frees after it has gone do nothing.
#include "Kova/General_SDK/Memory_Manager/class_sdk_memory.h"

#include <gtest/gtest.h>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "test_process.h"

using namespace Kova;

TEST(class_sdk_memory, is_the_process_memory_while_it_lives_and_late_frees_do_nothing) {
    const std::string name = kova_test::unique_name("sdkmemh");
    General_Common::Memory::class_kova_memory service;
    ASSERT_EQ(service.eproc_create(8u << 20, name.c_str()), 0);
    struct_token token;
    {
        SDK::Memory_Manager::class_sdk_memory memory(name.c_str());
        EXPECT_EQ(Common::Global::gp_memory, &memory);
        ASSERT_EQ(Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__), c_kova_success);
        EXPECT_EQ(Common::Interface::safe_add_ref_header(token, __FILE__, __LINE__), 2u);
    }
    EXPECT_EQ(Common::Global::gp_memory, nullptr);
    // The mapping is gone: these must not touch it.
    EXPECT_EQ(Common::Interface::safe_add_ref_header(token, __FILE__, __LINE__), 0u);
    Common::Interface::safe_free_token(token, __FILE__, __LINE__);
    EXPECT_EQ(token.header_mm, 0u);
    service.proc_destroy();
    kova_test::remove_shm_containing(name);
}
