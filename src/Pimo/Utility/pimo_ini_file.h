// Settings from ini files: integer and yes/no keys, read through boost property_tree.
#pragma once

namespace Pimo {
namespace Utility {

// The integer at [in_domain] in_variable; in_default_value when the file cannot be
// read, the key is absent or its value is not a decimal integer.
int get_integer_from_ini_file(const char* in_path, const char* in_domain, const char* in_variable,
                              int in_default_value);

// The value in lower case, or in_default_value (unchanged) when the file cannot be read
// or the key is absent. The text is per thread and valid until the thread's next call.
const char* get_lwr_string_from_ini_file(const char* in_path, const char* in_domain,
                                         const char* in_variable, const char* in_default_value);

// True when the value equals in_compare_value, both in lower case; an unreadable file or
// an absent key counts as "yes".
bool compare_from_ini_file(const char* in_path, const char* in_domain, const char* in_variable,
                           const char* in_compare_value);

}  // namespace Utility
}  // namespace Pimo
