#include "trust/trusted_comment.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "base/messages.h"
#include "trust/signature.h"

namespace kb {
namespace {

// The comment's words: minisign's own comment separates them with tabs.
std::vector<std::string_view> tokens_of(std::string_view comment) {
  static constexpr std::string_view BLANKS = " \t\n\v\f\r";
  std::vector<std::string_view> out;
  for (auto start = comment.find_first_not_of(BLANKS); start != std::string_view::npos;) {
    auto end = comment.find_first_of(BLANKS, start);
    out.push_back(comment.substr(start, end - start));
    start = comment.find_first_not_of(BLANKS, end);
  }
  return out;
}

}  // namespace

std::optional<std::uint64_t> decimal_timestamp(std::string_view text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  // from_chars takes no sign or blank, and says when the value overflows.
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

void check_trusted_comment(const pac_options& options, const std::string& package_path,
                           std::string_view comment) {
  const std::vector<std::string_view> tokens = tokens_of(comment);
  const std::string shown_comment = printable(comment);
  for (const std::string& expected : options.expected_tokens) {
    if (std::find(tokens.begin(), tokens.end(), expected) == tokens.end())
      throw kb_error(msg::comment_lacks_token(package_path, shown_comment, expected));
  }
  if (!options.newer_than) return;
  constexpr std::string_view TIMESTAMP = "timestamp:";
  bool stamped = false;
  for (std::string_view token : tokens) {
    if (token.substr(0, TIMESTAMP.size()) != TIMESTAMP) continue;
    auto t = decimal_timestamp(token.substr(TIMESTAMP.size()));
    if (t && *t > *options.newer_than) return;
    stamped = stamped || t.has_value();
  }
  throw kb_error(stamped ? msg::comment_not_newer(package_path, shown_comment, *options.newer_than)
                         : msg::comment_without_timestamp(package_path, shown_comment));
}

}  // namespace kb
