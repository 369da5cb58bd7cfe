// A member's pieces in stored order, and which members an operation takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ops/ops.h"

namespace kb {

// A member's bytes are cut into pieces of PAC_CHUNK_SIZE bytes from its
// start, the last one short, and stored last piece first: its piece
// [from, to) lies at offset + size - to in the package.

// Where the piece that ends at a member's byte end (> 0) begins.
std::int64_t piece_before(std::int64_t end);

// One piece of a member in stored order: the member's bytes [0, remaining)
// are taken from their end, so the piece is the stored region's last
// PAC_CHUNK_SIZE bytes, or all that is left.
struct piece {
  std::int64_t start;  // position in the package
  std::size_t length;
};

// Takes the next piece of a member stored at offset with remaining bytes
// still inside the package, and lowers remaining by its length.
piece take_piece(std::int64_t offset, std::int64_t& remaining);

// Refuses a member name that is not a plain file name: one holding "/", or
// "." or "..", would let a foreign package write outside its directory; one
// holding control bytes would spoof the lines that scripts parse.
void check_member_name(std::string_view name);

// Refuses the package at package_path when the fields printed beside a
// member's name (type, version, md5) or its feature hold control bytes, as
// a name holding them is refused: a foreign package could otherwise print
// lines the scripts take for the tool's own (a success that never
// happened) or drive the terminal.
void check_printed_fields(const pac_index& index, const std::string& package_path);

// Whether a member matches the name and type filters (an empty one matches all).
bool selected_by_filters(const pac_options& options, const pac_member& m);

}  // namespace kb
