// The one reader of the decimal texts stored in count, size and offset.
#include <limits>

#include "pac/trailer.h"

namespace kb {
namespace {

// Far beyond any 32-bit value and far below int64 overflow: accumulation
// stops here, so the reader never overflows whatever the digits.
constexpr std::int64_t SATURATE = std::int64_t{1} << 40;

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

std::int64_t read_decimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), SATURATE);
  }
  return negative ? -value : value;
}

std::optional<std::int32_t> read_int32(std::string_view text) {
  std::int64_t v = read_decimal(text);
  if (v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(v);
}

}  // namespace kb
