// The index trailer: the last PAC_INDEX_SIZE bytes of every package,
// scrambled as a whole. Every field is NUL-filled text of a fixed width.
//
//   offset         width  field
//   0              32     count of members, decimal
//   32 + 480*i     32     type of slot i          (i = 0 .. 49)
//   64 + 480*i     64     version of slot i
//   128 + 480*i    32     size of slot i, decimal
//   160 + 480*i    32     offset of slot i, decimal
//   192 + 480*i    64     md5 of slot i, 32 hex digits
//   256 + 480*i    256    name of slot i, a base name
//   24032          32     meta version, "1.0"
//   24064          32     header size, "24160"
//   24096          64     feature
//
// Slots at and beyond the count are all NUL. The slot order on disk (type,
// version, size, offset, md5, name) is not the record's field order.
#include <cstring>
#include <memory>

#include "pac/trailer.h"

namespace kb {
namespace {

constexpr std::size_t COUNT_AT = 0;
constexpr std::size_t SLOTS_AT = 32;
constexpr std::size_t SLOT_SIZE = 480;
constexpr std::size_t TYPE_AT = 0, VERSION_AT = 32, SIZE_AT = 96, OFFSET_AT = 128, MD5_AT = 160,
                      NAME_AT = 224;
constexpr std::size_t META_AT = SLOTS_AT + PAC_MAX_MEMBERS * SLOT_SIZE;
constexpr std::size_t HEADER_AT = META_AT + 32;
constexpr std::size_t FEATURE_AT = HEADER_AT + 32;

static_assert(VERSION_AT - TYPE_AT == PAC_TYPE_MAX + 1 &&
              SIZE_AT - VERSION_AT == PAC_VERSION_MAX + 1);
static_assert(NAME_AT + PAC_NAME_MAX + 1 == SLOT_SIZE, "a slot's fields fill its 480 bytes");
static_assert(META_AT == 24032 && HEADER_AT == 24064 && FEATURE_AT == 24096);
static_assert(FEATURE_AT + PAC_FEATURE_MAX + 1 == PAC_INDEX_SIZE,
              "the trailer ends with the feature");

template <std::size_t N>
void put(trailer_bytes& out, std::size_t at, const field_t<N>& f) {
  std::memcpy(out.data() + at, f.data(), N);
}

template <std::size_t N>
void get(const trailer_bytes& in, std::size_t at, field_t<N>& f) {
  std::memcpy(f.data(), in.data() + at, N);
}

// Visits every stored field with its trailer position, so that writing and
// reading cannot disagree on the layout.
template <typename Stored, typename Fn>
void for_each_stored_field(Stored& stored, Fn&& fn) {
  fn(COUNT_AT, stored.count);
  for (std::size_t i = 0; i < stored.slots.size(); ++i) {
    auto& s = stored.slots[i];
    std::size_t slot = SLOTS_AT + i * SLOT_SIZE;
    fn(slot + TYPE_AT, s.type);
    fn(slot + VERSION_AT, s.version);
    fn(slot + SIZE_AT, s.size);
    fn(slot + OFFSET_AT, s.offset);
    fn(slot + MD5_AT, s.md5);
    fn(slot + NAME_AT, s.name);
  }
  fn(META_AT, stored.meta_version);
  fn(HEADER_AT, stored.header_size);
  fn(FEATURE_AT, stored.feature);
}

kb_error not_right() {
  return kb_error(msg::file_not_right());
}

// The size and offset checks of one slot against the data region [0, D).
// Out-of-range texts, negative values (make never writes them, and a region
// before the file's start would read as nothing) and regions that end past
// D are refused; the 32-bit wrapped sum is tested as stored packages have
// always been, and the exact sum as well so that a wrapped sum cannot hide
// a member that runs past D.
std::int32_t check_slot(const stored_slot& s, std::int64_t data_end) {
  auto size = read_int32(field(s.size));
  auto offset = read_int32(field(s.offset));
  if (!size || !offset || *size < 0 || *offset < 0) throw not_right();
  auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(*size) +
                                           static_cast<std::uint32_t>(*offset));
  std::int64_t exact = std::int64_t{*size} + *offset;
  if (*size > data_end || *offset > data_end || wrapped > data_end || exact > data_end) {
    throw not_right();
  }
  return *size;
}

// Stores a text read from a field of this width, or checked against it
// before: one that fills the field keeps no NUL, as a foreign trailer had it.
template <std::size_t N>
void store(field_t<N>& f, std::string_view text) {
  f.fill('\0');
  std::copy_n(text.begin(), std::min(text.size(), N), f.begin());
}

pac_member member_of(const stored_slot& s) {
  pac_member m;
  m.type = field(s.type);
  m.name = field(s.name);
  m.version = field(s.version);
  m.md5 = field(s.md5);
  m.size_text = field(s.size);
  m.offset_text = field(s.offset);
  m.size = read_decimal(m.size_text);
  m.offset = read_decimal(m.offset_text);
  return m;
}

}  // namespace

void encode_trailer(const stored_trailer& stored, trailer_bytes& out) {
  for_each_stored_field(stored, [&](std::size_t at, const auto& f) { put(out, at, f); });
}

void decode_trailer(const trailer_bytes& in, stored_trailer& stored) {
  for_each_stored_field(stored, [&](std::size_t at, auto& f) { get(in, at, f); });
}

pac_index read_index(const trailer_bytes& plain, std::int64_t file_size) {
  const std::int64_t data_end = file_size - static_cast<std::int64_t>(PAC_INDEX_SIZE);
  auto stored = std::make_unique<stored_trailer>();
  decode_trailer(plain, *stored);

  // The total wraps modulo 2^32 as stored packages were always checked; every
  // slot is tested, whatever the count says.
  std::uint32_t total = 0;
  for (const auto& s : stored->slots) total += static_cast<std::uint32_t>(check_slot(s, data_end));
  auto expected = static_cast<std::int32_t>(total + static_cast<std::uint32_t>(PAC_INDEX_SIZE));
  if (expected != file_size) throw kb_error(msg::file_size_not_right());

  // Everything past slot 49 would be outside the index.
  const std::int64_t count = read_decimal(field(stored->count));
  if (count > PAC_MAX_MEMBERS) {
    throw kb_error(msg::count_over_50(field(stored->count)));
  }
  pac_index index;
  for (std::int64_t i = 0; i < count; ++i) index.members.push_back(member_of(stored->slots[i]));
  index.meta_version = field(stored->meta_version);
  index.header_size = field(stored->header_size);
  index.feature = field(stored->feature);
  return index;
}

trailer_bytes keep_slots(const trailer_bytes& plain, const std::vector<int>& slots) {
  auto stored = std::make_unique<stored_trailer>();
  decode_trailer(plain, *stored);
  auto kept = std::make_unique<stored_trailer>();
  set_field(kept->count, std::to_string(slots.size()), "count");
  for (std::size_t k = 0; k < slots.size(); ++k) kept->slots.at(k) = stored->slots.at(slots[k]);
  kept->meta_version = stored->meta_version;
  kept->header_size = stored->header_size;
  kept->feature = stored->feature;
  trailer_bytes out{};
  encode_trailer(*kept, out);
  return out;
}

trailer_bytes write_index(const pac_index& index) {
  auto stored = std::make_unique<stored_trailer>();
  // An empty package's count has always been left empty, which reads as 0.
  if (!index.members.empty()) store(stored->count, std::to_string(index.members.size()));
  for (std::size_t i = 0; i < index.members.size(); ++i) {
    const pac_member& m = index.members[i];
    stored_slot& s = stored->slots.at(i);
    store(s.type, m.type);
    store(s.name, m.name);
    store(s.version, m.version);
    store(s.md5, m.md5);
    store(s.size, m.size_text);
    store(s.offset, m.offset_text);
  }
  store(stored->meta_version, index.meta_version);
  store(stored->header_size, index.header_size);
  store(stored->feature, index.feature);
  trailer_bytes plain{};
  encode_trailer(*stored, plain);
  return plain;
}

}  // namespace kb
