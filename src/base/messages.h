// Every text the tool prints to stdout. Device scripts parse these byte for
// byte, so they are frozen: odd spellings, spaces and line ends included.
// A new message is a new function here; an old one never changes.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/error.h"

namespace kb {

// " <label> too long (at most <max> bytes): <value> ", for every value that
// does not fit its field or buffer.
kb_error too_long(std::string_view label, std::size_t max, std::string_view value);

}  // namespace kb
