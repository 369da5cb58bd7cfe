// The keyless scrambling codec: a rotation by 26 places within the 94
// printable bytes 33 ("!") to 126 ("~"); every other byte passes through.
//
// It runs over every byte of every member, so it must cost far less than the
// MD5 next to it. The per-byte form with a branch compiles to a jump that
// mispredicts on random data; the masked form below has no branch and is
// written with GCC/Clang vector extensions, so it becomes SSE2 on x86-64 and
// NEON on AArch64 without -march flags or a particular optimisation level.
#include <cstring>

#include "pac/codec.h"

namespace kb {
namespace {

constexpr int ALPHABET_FIRST = 33;
constexpr int ALPHABET_SIZE = 94;
constexpr int SHIFT = 26;

typedef unsigned char byte_vec __attribute__((vector_size(16)));
constexpr std::size_t VEC = sizeof(byte_vec);

// b is in the alphabet when (b - 33) as a byte is below 94. Encoding adds 26,
// or 26 - 94 for the bytes that would pass 126; decoding subtracts 26, or
// 26 - 94 for the bytes that would fall below 33.
inline byte_vec encode_vec(byte_vec v) {
  byte_vec in = (byte_vec)((byte_vec)(v - ALPHABET_FIRST) < ALPHABET_SIZE);
  byte_vec wrap = (byte_vec)(v > 126 - SHIFT);
  return v + (in & (SHIFT - (wrap & ALPHABET_SIZE)));
}

inline byte_vec decode_vec(byte_vec v) {
  byte_vec in = (byte_vec)((byte_vec)(v - ALPHABET_FIRST) < ALPHABET_SIZE);
  byte_vec wrap = (byte_vec)(v < ALPHABET_FIRST + SHIFT);
  return v - (in & (SHIFT - (wrap & ALPHABET_SIZE)));
}

template <byte_vec (*op)(byte_vec)>
void transform(unsigned char* buffer, std::size_t length) {
  std::size_t i = 0;
  for (; i + VEC <= length; i += VEC) {
    byte_vec v;
    std::memcpy(&v, buffer + i, VEC);
    v = op(v);
    std::memcpy(buffer + i, &v, VEC);
  }
  if (i < length) {  // the tail goes through one padded vector
    byte_vec v{};
    std::memcpy(&v, buffer + i, length - i);
    v = op(v);
    std::memcpy(buffer + i, &v, length - i);
  }
}

}  // namespace

void crypt_encode(unsigned char* buffer, std::size_t length) {
  transform<encode_vec>(buffer, length);
}

void crypt_decode(unsigned char* buffer, std::size_t length) {
  transform<decode_vec>(buffer, length);
}

}  // namespace kb
