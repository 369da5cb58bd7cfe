// --floor FILE: the timestamp of the last package installed, kept by the
// tool itself, so that no script parses stdout to keep it and no reset
// between an install and the script's write lets an older package in.
// FILE is the device's own, trusted like the key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kb {

// The timestamp FILE holds (decimal digits, a line end allowed), 0 when it
// does not exist; throws when it can not be read or holds anything else,
// or when its directory is not there to hold it.
std::uint64_t read_floor(const std::string& path);

// The greatest timestamp:T word of a trusted comment, 0 when it has none.
std::uint64_t comment_timestamp(std::string_view comment);

// Replaces FILE with the timestamp, durably: a temporary file of the tool's
// own name beside it (created exclusively, never through a link), synced,
// renamed over FILE, the directory synced. A crash leaves FILE as it was
// or as it is now, never half written; throws when it can not be done.
void write_floor(const std::string& path, std::uint64_t timestamp);

}  // namespace kb
