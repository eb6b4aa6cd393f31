// Sees only the installed headers and library. Deriving from the public classes needs
// their type information and virtual tables from the library.
#include <Kova/kova.h>

namespace {

struct app_object : Kova::kova_object {
    void on_connected_tcp(Kova::node_addr_t const&) override {}
};

}  // namespace

int main() {
    Kova::finalize();  // not running: nothing
    if (Kova::msg_processing_by_parallel(Kova::msg_addr_t()) != Kova::c_kova_err_not_initailize) return 2;
    if (Kova::dispatch_message(0.0)) return 3;
    app_object object;
    if (object.create(7100, 1) != Kova::c_kova_err_not_initailize || object.is_created()) return 4;
    return 0;
}
