// The package store: the scrambling codec, scrambled stream I/O, MD5 digests,
// the in-memory package index with its on-disk trailer, the two visiting
// orders and the listing.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kb {

constexpr std::size_t PAC_INDEX_SIZE = 24160;
constexpr int PAC_MAX_MEMBERS = 50;
constexpr std::size_t PAC_CHUNK_SIZE = 524288;
constexpr std::size_t MD5_TEXT_SIZE = 33;  // 32 hex digits and a NUL

// Carries the exact console text of a failure, line ends included. Thrown
// where the fault is found and printed once by main, which exits with 255.
struct kb_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "\r\n <label> too long (at most <max> bytes): <value> \r\n", for every value
// that does not fit its fixed-width field.
kb_error too_long(std::string_view label, std::size_t max, std::string_view value);

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// A page-aligned buffer for member data: the kernel copies into and out of
// such a buffer several times faster than into one at a heap offset.
class chunk_buffer {
 public:
  explicit chunk_buffer(std::size_t size = PAC_CHUNK_SIZE)
      : data_(static_cast<unsigned char*>(std::aligned_alloc(4096, size))) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  unsigned char* data() const { return data_.get(); }

 private:
  struct releaser {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, releaser> data_;
};

file_ptr open_file(const std::string& path, const char* mode);

// Closes a written stream and reports whether every byte reached the file;
// a failed flush is lost data, so callers treat false as a write failure.
bool close_checked(file_ptr& f);

// Writes console text to stdout as it stands (to message_stream()).
void say(std::string_view text);

// Where console messages go: stdout, unless send_messages_to_stderr() was
// called because stdout carries a JSON document alone (--json).
std::FILE* message_stream();
void send_messages_to_stderr();

// One line on stderr naming the file a system call failed on and why (err,
// captured where it failed; 0 for a file that ended early), followed by
// what the tool does about it, if anything. stdout stays as it was.
void say_reason(std::string_view path, int err, std::string_view next = {});

// ---- codec and scrambled streams ----

// Rotates the printable bytes 33..126 by 26 places; all others pass through.
void crypt_encode(unsigned char* buffer, std::size_t length);
void crypt_decode(unsigned char* buffer, std::size_t length);

// fread, then unscramble the whole requested region unless nothing was read.
std::size_t crypt_fread(void* buffer, std::size_t size, std::size_t count, std::FILE* stream);
// Scrambled fwrite; the caller's buffer holds its plain bytes again on return.
std::size_t crypt_fwrite(void* buffer, std::size_t size, std::size_t count, std::FILE* stream);

// ---- digests ----

// MD5 of a file's bytes as 32 lower-case hex digits and a NUL into out
// (MD5_TEXT_SIZE bytes). Returns 0, or -1 when the file cannot be opened or
// read; out is then left untouched.
int md5_file_hex(const char* path, char* out);
// The same over every byte of an open file, read at its positions, or over
// its first length bytes only (-1 also when it holds fewer).
int md5_fd_hex(int fd, char* out);
int md5_fd_prefix_hex(int fd, std::int64_t length, char* out);
// The same over the file's first length bytes only; -1 also when the file
// holds fewer.
int md5_file_prefix_hex(const char* path, std::int64_t length, char* out);
void md5_string_hex(const char* text, char* out);
void md5_bytes_hex(std::string_view bytes, char* out);
void md5_digest_hex(const unsigned char digest[16], char* out);
bool md5_self_test();

// ---- numbers stored as text ----

// The format's reading rule: leading white space, an optional sign, then
// digits up to the first other byte; no digits reads as 0. Values far outside
// 32 bits saturate, so the result is exact whenever it fits in 32 bits.
std::int64_t read_decimal(std::string_view text);
// read_decimal, or nothing when the value does not fit a 32-bit signed int.
std::optional<std::int32_t> read_int32(std::string_view text);

// ---- fixed-width fields ----

template <std::size_t N>
using field_t = std::array<char, N>;

// A field's text: up to its first NUL, or its whole width when a damaged
// trailer left none.
template <std::size_t N>
std::string_view field(const field_t<N>& f) {
  auto end = std::find(f.begin(), f.end(), '\0');
  return {f.data(), static_cast<std::size_t>(end - f.begin())};
}

// Stores value NUL-filled; throws too_long(label, ...) when it leaves no room
// for the terminator.
template <std::size_t N>
void set_field(field_t<N>& f, std::string_view value, std::string_view label) {
  if (value.size() >= N) throw too_long(label, N - 1, value);
  f.fill('\0');
  std::copy(value.begin(), value.end(), f.begin());
}

// ---- the package index ----

struct pac_member {
  field_t<32> type{};
  field_t<32> offset{};
  field_t<32> size{};
  field_t<64> version{};
  field_t<64> md5{};
  field_t<256> name{};
  field_t<2048> spec{};  // the raw -a value, used only by make
  bool selected = false;
};

struct pac_index {
  field_t<32> count{};
  std::array<pac_member, PAC_MAX_MEMBERS> members{};
  field_t<32> meta_version{};
  field_t<32> header_size{};
  field_t<64> feature{};
};

using trailer_bytes = std::array<unsigned char, PAC_INDEX_SIZE>;

// Lays the stored fields out in trailer order, plain (not scrambled).
void encode_trailer(const pac_index& index, trailer_bytes& out);
// The reverse of encode_trailer: fills the stored fields from plain bytes.
void decode_trailer(const trailer_bytes& in, pac_index& index);

// The number of slots the operations visit: the count field, below 0 read as
// 0. The loader guarantees it is at most PAC_MAX_MEMBERS.
int member_count(const pac_index& index);

// The loader's checks of a plain trailer for a package of file_size bytes;
// fills index or throws the loader's messages.
void pac_index_check(const trailer_bytes& plain, std::int64_t file_size, pac_index& index);

// Sets meta version "1.0" and header size "24160", then writes the whole
// scrambled trailer at the stream's position. Returns false on a short write.
bool pac_index_write_trailer(pac_index& index, std::FILE* stream);

// The next unvisited slot with the largest size, lowest slot on ties,
// marking it visited; -1 when none with a size of 0 or more is left.
int next_member_by_size(pac_index& index);
// The slots with an offset of 0 or more, the largest offset first (the
// order extract takes them in), the lower slot first on ties.
std::vector<int> members_by_offset(const pac_index& index);

// Prints the meta line and one line per member.
void pac_index_list(const pac_index& index);

}  // namespace kb
