// Starting a program in the background through the shell.
#pragma once

#include <string>

namespace Pimo {
namespace OS {

// The shell line for excute: path, " ", argument, " &". A path holding anything but
// plain path characters is single-quoted so that it reaches the shell as one word;
// the argument is passed as the caller wrote it.
std::string get_excute_command_line(const std::string& excute_filename, const std::string& argument);

// Returns once the shell has put the program in the background; the status is not used.
void excute(std::string excute_filename, std::string argument);

}  // namespace OS
}  // namespace Pimo
