// The stored order of a member's bytes, a fact of the format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pac/pac.h"

namespace kb {

// The piece size as the signed type offsets and lengths are counted in.
constexpr auto PIECE_BYTES = static_cast<std::int64_t>(PAC_CHUNK_SIZE);

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

}  // namespace kb
