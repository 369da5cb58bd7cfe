// The listing and the check as one JSON document (--json), for pipelines
// that must not parse the console lines. Kept apart from the package store
// so that only this file depends on the JSON library.
#pragma once

#include <string>
#include <vector>

#include "pac/pac.h"

namespace kb {

// What check found for one member.
struct member_verdict {
  int slot;
  const char* verdict;  // "good", "damaged" or "unreadable"
  std::string digest;   // the digest found; empty when unreadable
  const char* refusal;  // why no extract takes the member, or nullptr
};

// The document of the listing: the meta version, the feature and every
// member's type, name, version, size, offset (numbers) and md5. Text that
// is not UTF-8 is given with U+FFFD in its place and, beside it under the
// same key with "_hex" added, its bytes in hex, so nothing is lost.
std::string listing_json(const pac_index& index);

// The listing's document of the checked members, each with its verdict,
// the digest found and its refusal; for a package verified with a key
// (key_id not empty), also that key's id and the trusted comment it signed.
std::string check_json(const pac_index& index, const std::vector<member_verdict>& verdicts,
                       const std::string& key_id = {}, const std::string& trusted_comment = {});

}  // namespace kb
