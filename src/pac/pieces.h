// The stored order of a member's bytes, a fact of the format: they are cut
// into pieces of PAC_CHUNK_SIZE bytes from the member's start, the last one
// short, and stored last piece first, so that the member's bytes
// [at, at + length) lie at offset + size - at - length in the package.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pac/pac.h"

namespace kb {

// The piece size as the signed type offsets and lengths are counted in.
constexpr auto PIECE_BYTES = static_cast<std::int64_t>(PAC_CHUNK_SIZE);

struct piece {
  std::int64_t at;     // where it starts in the member
  std::size_t length;  // at most PAC_CHUNK_SIZE
  std::int64_t start;  // where it lies in the package
};

// The one walk over a member's pieces: those of its bytes [from, to) (from
// at a piece's start; to at one, or the member's end), in the member's own
// order (first byte first: how they leave the package) or in stored order
// (the package's: how they go into it).
class piece_walk {
 public:
  enum order { member_order, stored_order };

  piece_walk(std::int64_t offset, std::int64_t size, std::int64_t from, std::int64_t to, order o)
      : end_(offset + size), from_(from), to_(to), order_(o) {}

  // The next piece into p; false when none is left.
  bool next(piece& p);
  // Whether the last piece was given.
  bool done() const { return from_ >= to_; }

 private:
  std::int64_t end_, from_, to_;
  order order_;
};

}  // namespace kb
