// The running executable, its directory and the working directory.
#pragma once

namespace Pimo {
namespace Utility {

// Full path of the running executable. Per-thread text, valid until the thread's next call.
const char* get_module_filename();
// Directory of the running executable with its trailing "/"; empty when it cannot be read.
const char* get_module_directory();
// Same as get_module_directory; the key is not used on this platform.
const char* get_install_folder(const char* install_key = nullptr);
void set_current_directory(const char* directory);

}  // namespace Utility
}  // namespace Pimo
