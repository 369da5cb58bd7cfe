#include "pac/pieces.h"

namespace kb {

std::int64_t piece_before(std::int64_t end) {
  return (end - 1) / PIECE_BYTES * PIECE_BYTES;
}

piece take_piece(std::int64_t offset, std::int64_t& remaining) {
  if (remaining <= PIECE_BYTES) {
    piece p{offset, static_cast<std::size_t>(remaining)};
    remaining = 0;
    return p;
  }
  remaining -= PIECE_BYTES;
  return {offset + remaining, PAC_CHUNK_SIZE};
}

}  // namespace kb
