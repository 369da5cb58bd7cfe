// What a verified trusted comment must hold before its package is used:
// minisign's global signature covers the comment, so the maker can bind a
// package there to a board and a release, and the device can insist on both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ops/options.h"

namespace kb {

// The value of a plain decimal number (digits only), or nothing when text is
// empty, holds anything else, or does not fit 64 bits.
std::optional<std::uint64_t> decimal_timestamp(std::string_view text);

// Throws, naming the package and the comment, unless comment holds every
// --expect token as a whole word and, with --newer-than N, a token
// timestamp:T with T greater than N. Checks nothing without those options.
void check_trusted_comment(const pac_options& options, const std::string& package_path,
                           std::string_view comment);

}  // namespace kb
