// Sees only the installed headers and library.
#include <Kova/kova.h>

int main() {
    Kova::finalize();  // not running: nothing
    if (Kova::msg_processing_by_parallel(Kova::msg_addr_t()) != Kova::c_kova_err_not_initailize) return 2;
    return Kova::dispatch_message(0.0) ? 3 : 0;
}
