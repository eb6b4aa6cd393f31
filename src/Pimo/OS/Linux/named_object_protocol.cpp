#include "Pimo/OS/Linux/named_object_protocol.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace OS {
namespace named_object {

namespace {

pthread_mutex_t g_umask_mutex = PTHREAD_MUTEX_INITIALIZER;
int g_umask_depth = 0;
mode_t g_saved_umask = 0;

}  // namespace

int open_object(const std::string& in_name, bool in_create, mode_t in_mode) {
    int flags = O_RDWR | O_CLOEXEC | (in_create ? O_CREAT : 0);
    return shm_open(in_name.c_str(), flags, in_mode);
}

int flock_retry(int in_fd, int in_operation) {
    for (;;) {
        if (flock(in_fd, in_operation) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

void proc_unlock_close(int& in_fd) {
    if (in_fd < 0) return;
    if (flock_retry(in_fd, LOCK_UN) != 0) Utility::print_error("flock");
    proc_close_fd(in_fd);
}

void proc_close_fd(int& in_fd) {
    if (in_fd < 0) return;
    if (close(in_fd) != 0) Utility::print_error("close");
    in_fd = -1;
}

class_umask_guard::class_umask_guard() {
    pthread_mutex_lock(&g_umask_mutex);
    if (g_umask_depth++ == 0) g_saved_umask = umask(0);
    pthread_mutex_unlock(&g_umask_mutex);
}

class_umask_guard::~class_umask_guard() {
    pthread_mutex_lock(&g_umask_mutex);
    if (--g_umask_depth == 0) umask(g_saved_umask);
    pthread_mutex_unlock(&g_umask_mutex);
}

class_named_session::~class_named_session() { proc_unlock_close(m_cr_fd); }

vimra_err_t class_named_session::eproc_begin(const std::string& in_name, bool in_create_companion,
                                             mode_t in_mode) {
    m_cr_fd = open_object(in_name + "_cr_lock", in_create_companion, in_mode);
    if (m_cr_fd < 0) {
        Utility::print_error("shm_open");
        return c_vimra_unknown;
    }
    if (flock_retry(m_cr_fd, LOCK_EX) != 0) {
        Utility::print_error("flock");
        proc_close_fd(m_cr_fd);
        return c_vimra_unknown;
    }
    return c_vimra_success;
}

vimra_err_t class_named_session::eproc_claim_create(const std::string& in_presence, mode_t in_mode,
                                                    int* pout_fd) {
    *pout_fd = -1;
    int fd = open_object(in_presence, true, in_mode);
    if (fd < 0) {
        Utility::print_error("shm_open");
        return c_vimra_unknown;
    }
    int e = flock_retry(fd, LOCK_EX | LOCK_NB);
    if (e != 0) {
        proc_close_fd(fd);
        if (e == EWOULDBLOCK) return c_vimra_already_exists;
        Utility::print_error("flock");
        return c_vimra_unknown;
    }
    if (flock_retry(fd, LOCK_SH | LOCK_NB) != 0) {
        Utility::print_error("flock");
        proc_close_fd(fd);
        return c_vimra_unknown;
    }
    *pout_fd = fd;
    return c_vimra_success;
}

vimra_err_t class_named_session::eproc_claim_open(const std::string& in_presence, mode_t in_mode,
                                                  int* pout_fd) {
    *pout_fd = -1;
    int fd = open_object(in_presence, false, in_mode);
    if (fd < 0) {
        if (errno == ENOENT) return c_vimra_not_created;
        Utility::print_error("shm_open");
        return c_vimra_unknown;
    }
    int e = flock_retry(fd, LOCK_EX | LOCK_NB);
    if (e == 0) {  // nobody alive holds it: a leftover of ended processes
        proc_unlock_close(fd);
        return c_vimra_not_created;
    }
    if (e != EWOULDBLOCK || flock_retry(fd, LOCK_SH | LOCK_NB) != 0) {
        Utility::print_error("flock");
        proc_close_fd(fd);
        return c_vimra_unknown;
    }
    *pout_fd = fd;
    return c_vimra_success;
}

bool test_held(const std::string& in_name) {
    class_named_session session;
    if (session.eproc_begin(in_name, false, 0) != c_vimra_success) return false;  // never created
    int fd = open_object(in_name, false, 0);
    if (fd < 0) return false;
    const int e = flock_retry(fd, LOCK_EX | LOCK_NB);
    if (e == 0) {
        proc_unlock_close(fd);
        return false;
    }
    proc_close_fd(fd);
    return e == EWOULDBLOCK;
}

}  // namespace named_object
}  // namespace OS
}  // namespace Pimo
