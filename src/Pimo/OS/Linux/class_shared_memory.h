// Named shared-memory segment, mapped whole into each process that creates or opens it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "Pimo/OS/Linux/pimo_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

class class_shared_memory {
public:
    static const char* name_str;

    class_shared_memory() : m_p(nullptr), m_size(0), m_fd(-1) {}
    ~class_shared_memory() {}

    vimra_err_t eproc_create(const std::string& in_name, size_t in_size, mode_t in_chmod);
    vimra_err_t eproc_create(const std::string& in_name, size_t in_size) { return eproc_create(in_name, in_size, 0777); }
    vimra_err_t eproc_create_app(const std::string& in_name, size_t in_size) { return eproc_create(in_name, in_size, 0777); }
    vimra_err_t eproc_open(const std::string& in_name, mode_t in_chmod);
    vimra_err_t eproc_open(const std::string& in_name) { return eproc_open(in_name, 0777); }
    vimra_err_t eproc_open_app(const std::string& in_name, int /*in_pid*/) { return eproc_open(in_name, 0777); }
    void proc_destroy();
    void proc_close() { proc_destroy(); }

    void* view(size_t in_size);
    void proc_unmap_view(void* in_address);

    void* to_pointer(size_t in_offset) const { return static_cast<char*>(m_p) + in_offset; }
    size_t to_offset(const void* in_p) const {
        return static_cast<size_t>(static_cast<const char*>(in_p) - static_cast<const char*>(m_p));
    }
    void* get_pointer() const { return m_p; }
    size_t get_size() const { return m_size; }
    // The device and inode of the segment this object maps: the same for every process
    // that maps this very segment. False when not live.
    bool get_file_id(u_int64_t* pout_dev, u_int64_t* pout_ino) const;
    bool is_pointer(const void* in_p) const {
        const char* p = static_cast<const char*>(in_p);
        const char* base = static_cast<const char*>(m_p);
        return m_p != nullptr && base <= p && p < base + m_size;
    }
    void commit(void* /*in_address*/, size_t /*in_size*/) {}

private:
    vimra_err_t eproc_make_live(const std::string& in_name, bool in_create, size_t in_size, mode_t in_chmod);
    // Maps the whole segment as this object's view; 0, or -1 after reporting "mmap".
    vimra_err_t eproc_map_own_view();

    void* m_p;
    size_t m_size;
    int m_fd;
    std::string m_name;
};

}  // namespace OS
}  // namespace Pimo
