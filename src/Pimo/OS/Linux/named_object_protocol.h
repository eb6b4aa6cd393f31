// Create/open protocol shared by every named object: a companion "_cr_lock" serialises
// creation and opening of one name, and a shared flock on a presence object marks each
// live user (the kernel drops it when the user ends).
#pragma once

#include <sys/types.h>

#include <string>

#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {
namespace named_object {

// Put before the names of the _global variants.
constexpr const char c_global_prefix[] = "Global\\";

// shm_open read-write and close-on-exec; -1 with errno on failure.
int open_object(const std::string& in_name, bool in_create, mode_t in_mode);

// flock that never reports an interrupted call: 0, or the errno of the failure.
int flock_retry(int in_fd, int in_operation);

// Unlocks and closes in_fd when open and sets it to -1; failures go to the error hook.
void proc_unlock_close(int& in_fd);

// Closes in_fd when open, without unlocking, and sets it to -1.
void proc_close_fd(int& in_fd);

// True while a live process holds in_name (its full name, prefix included). The test runs
// under the companion lock, so a creator of the name waits for it instead of failing on it.
bool test_held(const std::string& in_name);

// Holds the file-creation mask at 0 while any creation or opening of this process runs:
// the first to enter saves it, the last to leave restores it, so overlapping calls cannot
// leave 0 behind for good.
class class_umask_guard {
public:
    class_umask_guard();
    ~class_umask_guard();
    class_umask_guard(const class_umask_guard&) = delete;
    class_umask_guard& operator=(const class_umask_guard&) = delete;
};

// One create or open of a name: mask at 0 and the companion lock held exclusively for the
// session's life; both are given back by the destructor on every path.
class class_named_session {
public:
    class_named_session() : m_cr_fd(-1) {}
    ~class_named_session();
    class_named_session(const class_named_session&) = delete;
    class_named_session& operator=(const class_named_session&) = delete;

    // 0 or -1 (the failed call's name to the error hook).
    vimra_err_t eproc_begin(const std::string& in_name, bool in_create_companion, mode_t in_mode);

    // Creator's claim on the presence object: 0 with *pout_fd holding a shared lock,
    // 6 when a live process holds it, -1 on a failed call; *pout_fd is -1 unless 0.
    static vimra_err_t eproc_claim_create(const std::string& in_presence, mode_t in_mode, int* pout_fd);
    // Opener's claim: 0 with a shared lock, 7 when absent or held by nobody alive, -1.
    static vimra_err_t eproc_claim_open(const std::string& in_presence, mode_t in_mode, int* pout_fd);

private:
    class_umask_guard m_mask;
    int m_cr_fd;
};

}  // namespace named_object
}  // namespace OS
}  // namespace Pimo
