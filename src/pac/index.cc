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
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pac/pac.h"

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

static_assert(NAME_AT + 256 == SLOT_SIZE, "a slot's fields fill its 480 bytes");
static_assert(META_AT == 24032 && HEADER_AT == 24064 && FEATURE_AT == 24096);
static_assert(FEATURE_AT + 64 == PAC_INDEX_SIZE, "the trailer ends with the feature");

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
template <typename Index, typename Fn>
void for_each_stored_field(Index& index, Fn&& fn) {
  fn(COUNT_AT, index.count);
  for (std::size_t i = 0; i < index.members.size(); ++i) {
    auto& m = index.members[i];
    std::size_t slot = SLOTS_AT + i * SLOT_SIZE;
    fn(slot + TYPE_AT, m.type);
    fn(slot + VERSION_AT, m.version);
    fn(slot + SIZE_AT, m.size);
    fn(slot + OFFSET_AT, m.offset);
    fn(slot + MD5_AT, m.md5);
    fn(slot + NAME_AT, m.name);
  }
  fn(META_AT, index.meta_version);
  fn(HEADER_AT, index.header_size);
  fn(FEATURE_AT, index.feature);
}

kb_error not_right() {
  return kb_error("\r\n file is not right! \r\n");
}

// The size and offset checks of one slot against the data region [0, D).
// Out-of-range texts, negative values (make never writes them, and a region
// before the file's start would read as nothing) and regions that end past
// D are refused; the 32-bit
// wrapped sum is tested as stored packages have always been, and the exact
// sum as well so that a wrapped sum cannot hide a member that runs past D.
std::int32_t check_slot(const pac_member& m, std::int64_t data_end) {
  auto size = read_int32(field(m.size));
  auto offset = read_int32(field(m.offset));
  if (!size || !offset || *size < 0 || *offset < 0) throw not_right();
  auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(*size) +
                                           static_cast<std::uint32_t>(*offset));
  std::int64_t exact = std::int64_t{*size} + *offset;
  if (*size > data_end || *offset > data_end || wrapped > data_end || exact > data_end) {
    throw not_right();
  }
  return *size;
}

}  // namespace

void encode_trailer(const pac_index& index, trailer_bytes& out) {
  for_each_stored_field(index, [&](std::size_t at, const auto& f) { put(out, at, f); });
}

void decode_trailer(const trailer_bytes& in, pac_index& index) {
  for_each_stored_field(index, [&](std::size_t at, auto& f) { get(in, at, f); });
}

int member_count(const pac_index& index) {
  std::int64_t n = read_decimal(field(index.count));
  return static_cast<int>(std::clamp<std::int64_t>(n, 0, PAC_MAX_MEMBERS));
}

void pac_index_check(const trailer_bytes& plain, std::int64_t file_size, pac_index& index) {
  const std::int64_t data_end = file_size - static_cast<std::int64_t>(PAC_INDEX_SIZE);
  index = pac_index{};
  decode_trailer(plain, index);

  // The total wraps modulo 2^32 as stored packages were always checked; every
  // slot is tested, whatever the count says.
  std::uint32_t total = 0;
  for (const auto& m : index.members) total += static_cast<std::uint32_t>(check_slot(m, data_end));
  auto expected = static_cast<std::int32_t>(total + static_cast<std::uint32_t>(PAC_INDEX_SIZE));
  if (expected != file_size) throw kb_error("\r\n file size is not right! \r\n");

  // Everything past slot 49 would be outside the index.
  if (read_decimal(field(index.count)) > PAC_MAX_MEMBERS) {
    throw kb_error("\r\n file count " + std::string(field(index.count)) + " is more than 50! \r\n");
  }
}

bool pac_index_write_trailer(pac_index& index, std::FILE* stream) {
  set_field(index.meta_version, "1.0", "meta version");
  set_field(index.header_size, std::to_string(PAC_INDEX_SIZE), "header size");
  auto raw = std::make_unique<trailer_bytes>();
  encode_trailer(index, *raw);
  return crypt_fwrite(raw->data(), 1, raw->size(), stream) == raw->size();
}

}  // namespace kb
