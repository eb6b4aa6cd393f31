// Plain exception records of the library's vocabulary; nothing throws them.
#pragma once

#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {

class class_exception {
public:
    class_exception(int in_line, const char* in_filename, const char* in_comment)
        : line(in_line), filename(in_filename), comment(in_comment) {}

    int line;
    const char* filename;
    const char* comment;
};

class exception_vimra {
public:
    exception_vimra(const char* in_source_filename, int in_line, OS::vimra_err_t in_vimra_err)
        : m_source_filename(in_source_filename), m_line(in_line), m_vimra_err(in_vimra_err) {}

    const char* m_source_filename;
    int m_line;
    OS::vimra_err_t m_vimra_err;
};

}  // namespace Pimo
