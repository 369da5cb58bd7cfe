// The keyless scrambling codec every stored byte passes through.
#pragma once

#include <cstddef>

namespace kb {

// Rotates the printable bytes 33..126 by 26 places; all others pass through.
void crypt_encode(unsigned char* buffer, std::size_t length);
void crypt_decode(unsigned char* buffer, std::size_t length);

}  // namespace kb
