// Console output: the stream messages go to, and the reasons on stderr.
#include "base/console.h"

#include <algorithm>
#include <cstring>

namespace kb {
namespace {

std::FILE* messages = stdout;

// The length of the control sequence at text[at], 0 for none: a byte below
// 0x20 or 0x7f, or, in UTF-8, a C1 control (U+0080 to U+009F, NEL among
// them) or U+2028 and U+2029, which line-splitting readers take for line
// ends as surely as a newline.
std::size_t control_at(std::string_view text, std::size_t at) {
  const auto b = [&](std::size_t k) {
    return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0;
  };
  if (b(0) < 0x20 || b(0) == 0x7f) return 1;
  if (b(0) == 0xc2 && b(1) >= 0x80 && b(1) <= 0x9f) return 2;
  if (b(0) == 0xe2 && b(1) == 0x80 && (b(2) == 0xa8 || b(2) == 0xa9)) return 3;
  return 0;
}

}  // namespace

std::FILE* message_stream() {
  return messages;
}

void send_messages_to_stderr() {
  messages = stderr;
}

void say(std::string_view text) {
  // Flushed at once: a run that is killed has printed every line up to then.
  std::fwrite(text.data(), 1, text.size(), messages);
  std::fflush(messages);
}

void say_reason(std::string_view path, int err, std::string_view next) {
  std::string line(path);
  line.append(": ").append(err != 0 ? std::strerror(err) : "unexpected end of file");
  if (!next.empty()) line.append("; ").append(next);
  note(line);
}

void note(std::string_view text) {
  std::string line = "kestrelbind: ";
  line.append(text).append("\n");
  std::fputs(line.c_str(), stderr);
}

std::string one_line(std::string_view text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    const auto first = line.find_first_not_of(' ');
    if (first != std::string_view::npos) {
      line = line.substr(first, line.find_last_not_of(' ') - first + 1);
      out.append(out.empty() ? "" : "; ").append(line);
    }
    at = end + 1;
  }
  return out;
}

bool has_control_byte(std::string_view text) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (control_at(text, at) != 0) return true;
  }
  return false;
}

std::string shown(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = control_at(text, at);
    out += n != 0 ? '?' : text[at];
    at += n != 0 ? n : 1;
  }
  return out;
}

}  // namespace kb
