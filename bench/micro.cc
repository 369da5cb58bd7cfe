// Micro-benchmarks of the two per-byte costs: the codec and MD5, each over
// one chunk buffer.
#include <benchmark/benchmark.h>
#include <md5.h>

#include <random>
#include <vector>

#include "pac/codec.h"
#include "pac/pac.h"

namespace {

std::vector<unsigned char> random_chunk() {
  std::vector<unsigned char> b(kb::PAC_CHUNK_SIZE);
  std::mt19937 gen(1);
  for (auto& c : b) c = static_cast<unsigned char>(gen());
  return b;
}

void BM_crypt(benchmark::State& state, void (*codec)(unsigned char*, std::size_t)) {
  auto b = random_chunk();
  for (auto _ : state) {
    codec(b.data(), b.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}
BENCHMARK_CAPTURE(BM_crypt, encode, kb::crypt_encode);
BENCHMARK_CAPTURE(BM_crypt, decode, kb::crypt_decode);

void BM_md5(benchmark::State& state) {
  auto b = random_chunk();
  unsigned char digest[16];
  for (auto _ : state) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, b.data(), b.size());
    MD5Final(digest, &ctx);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}
BENCHMARK(BM_md5);

}  // namespace

BENCHMARK_MAIN();
