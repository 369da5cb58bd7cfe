// The package store: what a package holds, read from and written to its
// index trailer, the two visiting orders and the listing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kb {

constexpr std::size_t PAC_INDEX_SIZE = 24160;
constexpr int PAC_MAX_MEMBERS = 50;
constexpr std::size_t PAC_CHUNK_SIZE = 524288;

// The longest text each stored field holds: its width less its NUL.
constexpr std::size_t PAC_TYPE_MAX = 31, PAC_VERSION_MAX = 63, PAC_NAME_MAX = 255;
constexpr std::size_t PAC_FEATURE_MAX = 63;

// The trailer's bytes, plain (unscrambled) unless said otherwise.
using trailer_bytes = std::array<unsigned char, PAC_INDEX_SIZE>;

// One member as the loader vouches for it: its data [offset, offset + size)
// lies inside the package's data. Messages and the listing quote size and
// offset as the trailer holds them, whatever a foreign trailer holds there.
struct pac_member {
  std::string type, name, version, md5;
  std::int64_t size = 0, offset = 0;
  std::string size_text, offset_text;
};

// The members in slot order, one per slot below the count, and the meta.
struct pac_index {
  std::vector<pac_member> members;
  std::string meta_version, header_size, feature;
};

// The loader's checks of a plain trailer for a package of file_size bytes;
// the members it describes, or the loader's messages.
pac_index read_index(const trailer_bytes& plain, std::int64_t file_size);

// The plain trailer make writes for index: the count of its members (empty
// for none, as make has always left it), their texts NUL
// filled in their slots (each within its field's width: make checks them,
// the others were read from a trailer), the slots past them all NUL.
trailer_bytes write_index(const pac_index& index);

// The plain trailer that keeps, of those in plain, only the given slots,
// moved to the front in that order, and counts them; every other byte of
// theirs and of the meta as it was.
trailer_bytes keep_slots(const trailer_bytes& plain, const std::vector<int>& slots);

// The slot numbers, the largest member first (the order make stores them
// in, which balances the cores that hash them), or the member stored last
// first (the order extract takes them in); the lower slot first on ties.
std::vector<int> members_by_size(const pac_index& index);
std::vector<int> members_by_offset(const pac_index& index);

// Prints the meta line and one line per member.
void pac_index_list(const pac_index& index);

}  // namespace kb
