// Names of the tool's own beside the files it writes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/staged_file.h"

namespace kb {

// Whether text is stem followed by the random part.
bool is_own_name(std::string_view text, std::string_view stem);

// A temporary name for an output called name, and whether text is one.
std::string temp_name_for(std::string_view name);
bool is_temp_name_for(std::string_view text, std::string_view name);

}  // namespace kb
