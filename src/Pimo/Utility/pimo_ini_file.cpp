#include "Pimo/Utility/pimo_ini_file.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cctype>
#include <string>

namespace Pimo {
namespace Utility {

namespace {

std::string to_lower(std::string in_text) {
    for (char& c : in_text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return in_text;
}

std::string key_path(const char* in_domain, const char* in_variable) {
    return std::string(in_domain ? in_domain : "") + "." + (in_variable ? in_variable : "");
}

// Reads the file; false when it cannot be opened or is not ini text.
bool read_tree(const char* in_path, boost::property_tree::ptree& out_tree) {
    try {
        boost::property_tree::ini_parser::read_ini(in_path ? in_path : "", out_tree);
        return true;
    } catch (const boost::property_tree::ini_parser_error&) {
        return false;
    }
}

// The raw text of the key, or false when the file or the key is missing.
bool read_text(const char* in_path, const char* in_domain, const char* in_variable, std::string& out_text) {
    try {
        boost::property_tree::ptree tree;
        if (!read_tree(in_path, tree)) return false;
        boost::optional<std::string> value = tree.get_optional<std::string>(key_path(in_domain, in_variable));
        if (!value) return false;
        out_text = *value;
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

int get_integer_from_ini_file(const char* in_path, const char* in_domain, const char* in_variable,
                              int in_default_value) {
    try {
        boost::property_tree::ptree tree;
        if (!read_tree(in_path, tree)) return in_default_value;
        // get_optional<int> is empty both for an absent key and for a value that is not an int.
        return tree.get_optional<int>(key_path(in_domain, in_variable)).value_or(in_default_value);
    } catch (...) {
        return in_default_value;
    }
}

const char* get_lwr_string_from_ini_file(const char* in_path, const char* in_domain,
                                         const char* in_variable, const char* in_default_value) {
    thread_local std::string t_result;
    std::string value;
    if (read_text(in_path, in_domain, in_variable, value))
        t_result = to_lower(value);
    else
        t_result = in_default_value ? in_default_value : "";
    return t_result.c_str();
}

bool compare_from_ini_file(const char* in_path, const char* in_domain, const char* in_variable,
                           const char* in_compare_value) {
    std::string value;
    if (!read_text(in_path, in_domain, in_variable, value)) value = "yes";
    return to_lower(value) == to_lower(in_compare_value ? in_compare_value : "");
}

}  // namespace Utility
}  // namespace Pimo
