#include "Kova/Common/Interface/struct_token.h"

#include "Kova/Common/Interface/kova_memory_interface.h"

namespace Kova {

using namespace Common::Interface;

void struct_token::set_header(const struct_token& in_token, const char*, int) { header_mm = in_token.header_mm; }

void struct_token::set_data(const struct_token& in_token, const char*, int) { data_mm = in_token.data_mm; }

Pimo::Memory::ref_count_t struct_token::ref_header(const char* in_file, int in_line) {
    return safe_add_ref_mm(header_mm, in_file, in_line);
}

Pimo::Memory::ref_count_t struct_token::ref_data(const char* in_file, int in_line) {
    return safe_add_ref_mm(data_mm, in_file, in_line);
}

void struct_token::free(const char* in_file, int in_line) { safe_free_token(*this, in_file, in_line); }

void struct_token::free_header(const char* in_file, int in_line) { safe_free_mm(header_mm, in_file, in_line); }

void struct_token::free_data(const char* in_file, int in_line) { safe_free_mm(data_mm, in_file, in_line); }

struct_packet* struct_token::get_header_packet() const { return get_header(header_mm); }

struct_packet* struct_token::get_data_packet() const { return get_header(data_mm); }

void* struct_token::get_data() const { return Common::Interface::get_data(data_mm); }

void struct_token::alloc_header_force(const char* in_file, int in_line) {
    proc_alloc_header_force(*this, in_file, in_line);
}

kova_err_t struct_token::alloc_header(const char* in_file, int in_line) {
    return eproc_alloc_header(*this, in_file, in_line);
}

kova_err_t struct_token::alloc_data(std::size_t in_size, const char* in_file, int in_line) {
    return eproc_alloc_data(*this, in_size, in_file, in_line);
}

}  // namespace Kova
