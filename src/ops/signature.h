// Signed packages: a minisign public key and the detached signature beside
// the package, parsed as the hostile input they are.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ops/pieces.h"

namespace kb {

struct public_key {
  std::array<unsigned char, 8> id{};
  std::array<unsigned char, 32> key{};
};

struct package_signature {
  std::array<unsigned char, 2> algorithm{};  // "ED" prehashed, "Ed" legacy
  std::array<unsigned char, 8> key_id{};
  std::array<unsigned char, 64> signature{};
  std::string trusted_comment;  // the text after "trusted comment: "
  std::array<unsigned char, 64> global_signature{};
};

// The text of a minisign public key file, or nothing when it is not one.
std::optional<public_key> parse_public_key(std::string_view text);
// The text of a minisign signature file, or nothing when it is not one.
std::optional<package_signature> parse_signature(std::string_view text);

// A key id as minisign shows it: 16 upper-case hex digits.
std::string key_id_text(const std::array<unsigned char, 8>& id);

// The text with control bytes (tab aside) as '?', to be printed: comments
// come from outside.
std::string printable(std::string_view text);

// The id of the key in key_path; throws when it is not a public key file.
std::string read_key_id(const std::string& key_path);

}  // namespace kb
