// Signed packages: a minisign public key and the detached signature beside
// the package, parsed as the hostile input they are.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ops/options.h"
#include "ops/package.h"

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

// Whether one of the keys the command line gives (-k) has the id key_id;
// throws when one of them is not a public key file.
bool key_given(const pac_options& options, const std::string& key_id);

// Where the package's signature is: --sig, or beside it as P.minisig.
std::string signature_path(const pac_options& options, const std::string& package_path);

struct verified_package {
  std::string key_id;
  std::string trusted_comment;  // as signed, unfiltered
  // The state of the BLAKE2b hash after the bytes before the trailer, so
  // that the trailer alone completes the digest the signature covers;
  // empty when this libsodium keeps its state in a form not known here.
  std::string hash_state;
};

// Verifies the package against its minisign signature (signature_path)
// with the key among options' -k whose id the signature names, hashing it
// through its descriptor, prints that key's id and the trusted comment, and
// fills index from the very trailer bytes that were hashed; throws,
// changing nothing, on any mismatch.
verified_package verify_package(const pac_options& options, const package_file& package,
                                pac_index& index, trailer_bytes* trailer = nullptr);

// Refuses a verified package whose trusted comment lacks what the command
// line asks of it (--expect, --newer-than, --floor).
void check_verified(const pac_options& options, const verified_package& v);

// A package's index and what verifying it found (empty without a key).
struct verified_index {
  pac_index index;
  verified_package verified;
};

// Loads the package's index: with a key (options.key_path), from the very
// bytes that were verified, the trusted comment checked. With trailer, the
// plain trailer is kept there.
verified_index load_package_verified(const pac_options& options, const package_file& package,
                                     trailer_bytes* trailer = nullptr);

// Receives the bytes to verify, in order.
using hash_sink = std::function<void(const unsigned char*, std::size_t)>;
using byte_feed = std::function<void(const hash_sink&)>;

// Verifies the bytes feed gives against the package's signature with the
// key among options' -k that signed it and prints the verified line;
// throws, changing nothing, on any mismatch. A resume gives the package as
// it was before its first cut. size, when known, is how many bytes feed
// gives (for --progress json). With mark >= 0, the state after the first
// mark bytes is kept; with start, the hash goes on from that state (as
// kept, and from outside: it is checked for its bounds, and a forged one
// can not lead to the digest the signature holds).
verified_package verify_bytes(const pac_options& options, const package_file& package,
                              const byte_feed& feed, std::int64_t size = -1, std::int64_t mark = -1,
                              const std::string& start = {});

}  // namespace kb
