// Console output: the stream messages go to, and the reasons on stderr.
#include "base/console.h"

#include <algorithm>
#include <cstring>

namespace kb {
namespace {

std::FILE* messages = stdout;

bool is_control(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7f;
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
  std::string line = "kestrelbind: ";
  line.append(path).append(": ").append(err != 0 ? std::strerror(err) : "unexpected end of file");
  if (!next.empty()) line.append("; ").append(next);
  line += "\n";
  std::fputs(line.c_str(), stderr);
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
  return std::any_of(text.begin(), text.end(), is_control);
}

std::string shown(std::string_view text) {
  std::string out(text);
  std::replace_if(out.begin(), out.end(), is_control, '?');
  return out;
}

}  // namespace kb
