// The reader of a journal's fields (journal.cc draws the layout).
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/messages.h"

namespace kb {

// Reads the fields of a journal in order, refusing anything out of place.
class journal_reader {
 public:
  journal_reader(const std::string& text, const std::string& path) : text_(text), path_(path) {}

  kb_error damaged() const { return kb_error(msg::journal_damaged(path_)); }

  void expect(std::string_view word) {
    if (text_.compare(at_, word.size(), word) != 0) throw damaged();
    at_ += word.size();
  }

  bool next_is(std::string_view word) const { return text_.compare(at_, word.size(), word) == 0; }

  // A decimal number of at most 10 digits (or -1 where allowed), then end.
  std::int64_t number(char end, bool allow_minus_one = false) {
    std::int64_t v = -1;
    if (allow_minus_one && next_is("-1")) {
      at_ += 2;
    } else {
      const char* first = text_.data() + at_;
      const char* last = first + std::min<std::size_t>(text_.size() - at_, 10);
      const auto [stop, error] = std::from_chars(first, last, v);
      if (error != std::errc() || *first == '-') throw damaged();
      at_ += static_cast<std::size_t>(stop - first);
    }
    expect(std::string_view(&end, 1));
    return v;
  }

  // "<n>\n<n bytes>\n", at most max bytes.
  std::string text(std::size_t max) {
    const auto n = static_cast<std::size_t>(number('\n'));
    if (n > max) throw damaged();
    std::string out = bytes(n);
    expect("\n");
    return out;
  }

  std::string bytes(std::size_t n) {
    if (text_.size() - at_ < n) throw damaged();
    std::string out = text_.substr(at_, n);
    at_ += n;
    return out;
  }

  std::size_t at() const { return at_; }
  bool at_end() const { return at_ == text_.size(); }

 private:
  const std::string& text_;
  const std::string& path_;
  std::size_t at_ = 0;
};

}  // namespace kb
