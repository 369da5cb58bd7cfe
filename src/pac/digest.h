// MD5 digests as the format stores them: 32 lower-case hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kb {

constexpr std::size_t MD5_TEXT_SIZE = 33;  // 32 hex digits and a NUL

// The digest of every byte of an open file, read at its positions, or of
// its first length bytes only, into out (MD5_TEXT_SIZE bytes). Returns 0,
// or -1 when it can not be read or (with a length) holds fewer bytes; out
// is then left untouched.
int md5_fd_hex(int fd, char* out);
int md5_fd_prefix_hex(int fd, std::int64_t length, char* out);

std::string md5_hex(std::string_view bytes);

// Whether the digest functions give the known answer.
bool md5_self_test();

}  // namespace kb
