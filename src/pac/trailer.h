// The index trailer's own layout: fixed-width, NUL-filled text fields. Only
// the trailer's encoder and decoder (and tests that forge trailers) see it.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "base/messages.h"
#include "pac/pac.h"

namespace kb {

template <std::size_t N>
using field_t = std::array<char, N>;

// A field's text: up to its first NUL, or its whole width when a damaged
// trailer left none.
template <std::size_t N>
std::string_view field(const field_t<N>& f) {
  auto end = std::find(f.begin(), f.end(), '\0');
  return {f.data(), static_cast<std::size_t>(end - f.begin())};
}

// Stores value NUL-filled; throws too_long(label, ...) when it leaves no
// room for the NUL.
template <std::size_t N>
void set_field(field_t<N>& f, std::string_view value, std::string_view label) {
  if (value.size() >= N) throw too_long(label, N - 1, value);
  f.fill('\0');
  std::copy(value.begin(), value.end(), f.begin());
}

struct stored_slot {
  field_t<PAC_TYPE_MAX + 1> type{};
  field_t<32> offset{}, size{};
  field_t<PAC_VERSION_MAX + 1> version{};
  field_t<64> md5{};
  field_t<PAC_NAME_MAX + 1> name{};
};

struct stored_trailer {
  field_t<32> count{};
  std::array<stored_slot, PAC_MAX_MEMBERS> slots{};
  field_t<32> meta_version{}, header_size{};
  field_t<PAC_FEATURE_MAX + 1> feature{};
};

// Lays the stored fields out in trailer order, plain, and back.
void encode_trailer(const stored_trailer& stored, trailer_bytes& out);
void decode_trailer(const trailer_bytes& in, stored_trailer& stored);

// The format's reading rule for count, size and offset: leading white
// space, an optional sign, then digits up to the first other byte; no
// digits reads as 0. Values far outside 32 bits saturate, so the result is
// exact whenever it fits in 32 bits.
std::int64_t read_decimal(std::string_view text);
// read_decimal, or nothing when the value does not fit a 32-bit signed int.
std::optional<std::int32_t> read_int32(std::string_view text);

}  // namespace kb
