// Prints where it runs from as the module-path functions see it, then enters that directory.
#include <unistd.h>

#include <cstdio>

#include "Pimo/Utility/pimo_module_path.h"

using namespace Pimo::Utility;

int main() {
    std::printf("filename=%s\n", get_module_filename());
    std::printf("directory=%s\n", get_module_directory());
    std::printf("install=%s\n", get_install_folder("ignored"));
    set_current_directory(get_module_directory());
    char cwd[2048];
    std::printf("cwd=%s\n", getcwd(cwd, sizeof(cwd)) ? cwd : "?");
    std::fflush(stdout);
    return 0;
}
