#include "pac/pieces.h"

#include <algorithm>

namespace kb {

bool piece_walk::next(piece& p) {
  if (done()) return false;
  std::int64_t at, length;
  if (order_ == member_order) {
    at = from_;
    length = std::min(PIECE_BYTES, to_ - at);
    from_ += length;
  } else {
    at = (to_ - 1) / PIECE_BYTES * PIECE_BYTES;  // the piece that ends at to
    length = to_ - at;
    to_ = at;
  }
  p = piece{at, static_cast<std::size_t>(length), end_ - at - length};
  return true;
}

}  // namespace kb
