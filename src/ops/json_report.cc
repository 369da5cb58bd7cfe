#include "ops/json_report.h"

#include <nlohmann/json.hpp>

namespace kb {
namespace {

// Keys in the order a person reads them: the package, then each member.
using json = nlohmann::ordered_json;

// Stored text is whatever bytes a foreign package holds. The library
// refuses to write bytes that are not UTF-8; they are replaced in the
// readable text and kept whole in hex beside it.
void put_text(json& object, const std::string& key, std::string_view bytes) {
  json& text = object[key] = std::string(bytes);
  try {
    text.dump();
  } catch (const json::type_error&) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) hex.append({digits[c >> 4], digits[c & 15]});
    object[key + "_hex"] = hex;
  }
}

json member_json(const pac_member& m) {
  json out = json::object();
  put_text(out, "type", m.type);
  put_text(out, "name", m.name);
  put_text(out, "version", m.version);
  out["size"] = m.size;
  out["offset"] = m.offset;
  put_text(out, "md5", m.md5);
  return out;
}

json package_json(const pac_index& index) {
  json out = json::object();
  put_text(out, "meta_version", index.meta_version);
  put_text(out, "feature", index.feature);
  out["members"] = json::array();
  return out;
}

std::string text_of(const json& document) {
  // ASCII only, every other character escaped: safe for any console or parser.
  return document.dump(-1, ' ', true, json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string listing_json(const pac_index& index) {
  json out = package_json(index);
  for (const pac_member& m : index.members) out["members"].push_back(member_json(m));
  return text_of(out);
}

std::string check_json(const pac_index& index, const std::vector<member_verdict>& verdicts,
                       const std::string& key_id, const std::string& trusted_comment) {
  json out = package_json(index);
  if (!key_id.empty()) {  // the package's own fields, before its members
    out.erase("members");
    out["key_id"] = key_id;
    put_text(out, "trusted_comment", trusted_comment);
    out["members"] = json::array();
  }
  for (const auto& v : verdicts) {
    json m = member_json(index.members[v.slot]);
    m["verdict"] = v.verdict;
    m["digest"] = v.digest.empty() ? json(nullptr) : json(v.digest);
    m["refused"] = v.refusal == nullptr ? json(nullptr) : json(v.refusal);
    out["members"].push_back(std::move(m));
  }
  return text_of(out);
}

}  // namespace kb
