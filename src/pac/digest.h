// MD5 digests as the format stores them: 32 lower-case hex digits.
#pragma once

#include <atomic>
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

// The digest of a member's bytes in their own order, read from the package
// (its stored pieces from the last back to the first, each unscrambled) in
// slices of buffer's size, which stay in the cache between the read, the
// unscrambling and the digest; each slice is counted in done when given.
// -1 (errno set) when they can not be read.
int md5_member_hex(int package, std::int64_t offset, std::int64_t size, unsigned char* buffer,
                   std::size_t slice, char* out, std::atomic<std::int64_t>* done = nullptr);

// Whether the digest functions give the known answer.
bool md5_self_test();

}  // namespace kb
