// Scrambled stream calls and the small file helpers every module shares.
#include <cstring>

#include "pac/pac.h"

namespace kb {

kb_error too_long(std::string_view label, std::size_t max, std::string_view value) {
  return kb_error("\r\n " + std::string(label) + " too long (at most " + std::to_string(max) +
                  " bytes): " + std::string(value) + " \r\n");
}

file_ptr open_file(const std::string& path, const char* mode) {
  return file_ptr(std::fopen(path.c_str(), mode));
}

bool close_checked(file_ptr& f) {
  std::FILE* raw = f.release();
  if (raw == nullptr) return true;
  bool ok = std::ferror(raw) == 0;
  return std::fclose(raw) == 0 && ok;
}

namespace {

std::FILE* messages = stdout;

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

std::size_t crypt_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* stream) {
  std::size_t r = std::fread(buffer, size, count, stream);
  // The whole requested region is unscrambled, as the stored format has always
  // been read; a short read leaves garbage past r that nobody uses.
  if (r != 0) crypt_decode(static_cast<unsigned char*>(buffer), size * count);
  return r;
}

std::size_t crypt_fwrite(void* buffer, std::size_t size, std::size_t count, std::FILE* stream) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  crypt_encode(bytes, size * count);
  std::size_t r = std::fwrite(buffer, size, count, stream);
  crypt_decode(bytes, size * count);
  return r;
}

}  // namespace kb
