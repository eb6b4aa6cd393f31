#include "Pimo/OS/Linux/class_shared_memory.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Pimo/OS/Linux/named_object_protocol.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace OS {

using named_object::class_named_session;

const char* class_shared_memory::name_str = "_memory";

// Creation and opening differ in the presence claim and in where the size comes from.
vimra_err_t class_shared_memory::eproc_make_live(const std::string& in_name, bool in_create, size_t in_size,
                                                 mode_t in_chmod) {
    vimra_err_t r;
    try {
        m_name = in_name;
        m_fd = -1;
        m_p = nullptr;
        m_size = 0;
        class_named_session session;
        r = session.eproc_begin(m_name, in_create, in_create ? in_chmod : 0);
        if (r == c_vimra_success)
            r = in_create ? class_named_session::eproc_claim_create(m_name, in_chmod, &m_fd)
                          : class_named_session::eproc_claim_open(m_name, 0, &m_fd);
        if (r == c_vimra_success && in_create && ftruncate(m_fd, static_cast<off_t>(in_size)) != 0) {
            Utility::print_error("ftruncate");
            r = c_vimra_unknown;
        }
        if (r != c_vimra_success) proc_destroy();
    } catch (...) {
        proc_destroy();
        return c_vimra_unknown;
    }
    if (r != c_vimra_success) return r;
    if (in_create) {
        m_size = in_size;
    } else {
        struct stat st;
        if (fstat(m_fd, &st) != 0) {
            Utility::print_error("fstat");
            proc_close();
            return c_vimra_unknown;
        }
        m_size = static_cast<size_t>(st.st_size);
    }
    return eproc_map_own_view();
}

vimra_err_t class_shared_memory::eproc_create(const std::string& in_name, size_t in_size, mode_t in_chmod) {
    return eproc_make_live(in_name, true, in_size, in_chmod);
}

vimra_err_t class_shared_memory::eproc_open(const std::string& in_name, mode_t /*in_chmod*/) {
    return eproc_make_live(in_name, false, 0, 0);
}

vimra_err_t class_shared_memory::eproc_map_own_view() {
    m_p = view(m_size);
    if (m_p) return c_vimra_success;
    // Never live without a view: callers use it at once.
    proc_destroy();
    m_size = 0;
    return c_vimra_unknown;
}

void* class_shared_memory::view(size_t in_size) {
    if (m_fd < 0) return nullptr;
    void* p = mmap(nullptr, in_size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED) {
        Utility::print_error("mmap");
        return nullptr;
    }
    return p;
}

void class_shared_memory::proc_unmap_view(void* in_address) {
    if (m_fd < 0 || in_address == nullptr) return;
    size_t size = m_size;
    if (in_address != m_p) {
        // Another view of this segment: only the segment itself knows its length.
        struct stat st;
        if (fstat(m_fd, &st) != 0) {
            Utility::print_error("fstat");
            return;
        }
        size = static_cast<size_t>(st.st_size);
    }
    if (munmap(in_address, size) != 0) Utility::print_error("munmap");
    if (in_address == m_p) m_p = nullptr;
}

bool class_shared_memory::get_file_id(u_int64_t* pout_dev, u_int64_t* pout_ino) const {
    struct stat st;
    if (m_fd < 0 || fstat(m_fd, &st) != 0) return false;
    *pout_dev = static_cast<u_int64_t>(st.st_dev);
    *pout_ino = static_cast<u_int64_t>(st.st_ino);
    return true;
}

void class_shared_memory::proc_destroy() {
    if (m_fd < 0) return;
    proc_unmap_view(m_p);
    named_object::proc_unlock_close(m_fd);
}

}  // namespace OS
}  // namespace Pimo
