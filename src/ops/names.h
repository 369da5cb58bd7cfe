// Names of the tool's own beside the files it writes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kb {

// The random part of each: letters and digits.
constexpr std::size_t OWN_NAME_RANDOM = 6;

// Random letters and digits.
std::string random_text(std::size_t n);

// Whether text is stem followed by the random part.
bool is_own_name(std::string_view text, std::string_view stem);

// A temporary name for an output called name, and whether text is one.
std::string temp_name_for(std::string_view name);
bool is_temp_name_for(std::string_view text, std::string_view name);

}  // namespace kb
