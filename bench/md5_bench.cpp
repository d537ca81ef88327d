// SPDX-License-Identifier: MIT
// Throughput of md5_process against libcrypto's MD5 over the same buffers, so
// that the ratio is read from one run. Run: make bench (or build the `bench`
// preset and run build/bench/bench/md5_bench).
#define OPENSSL_SUPPRESS_DEPRECATED  // MD5_Update is the shortest path to libcrypto's block code
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "md5/md5.hpp"
#include "md5/md5_lanes.hpp"
#include "md5/md5_process.hpp"
#include "sha256/sha256.hpp"

using namespace md5refresh;

namespace {

constexpr std::int64_t UNALIGNED_OFFSET = 3;

// Message of `length` bytes at `offset` in a buffer with padding room behind it.
std::vector<std::uint8_t> make_buffer(std::int64_t length, std::int64_t offset) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length + offset) + MD5_PADDING_ROOM);
  for (std::size_t i = 0; i < buffer.size(); ++i)
    buffer[i] = static_cast<std::uint8_t>(i * 131);
  return buffer;
}

void engine(benchmark::State& state, std::int64_t offset) {
  const auto length = static_cast<std::uint32_t>(state.range(0));
  auto buffer = make_buffer(length, offset);
  std::uint8_t* message = buffer.data() + offset;
  const std::uint32_t whole = length / 64 * 64;
  Md5Digest digest{};
  for (auto _ : state) {
    Md5Context* context = whole == 0 ? nullptr : md5_process(message, whole, nullptr, nullptr);
    benchmark::DoNotOptimize(md5_process(message + whole, length - whole, &digest, context));
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void libcrypto(benchmark::State& state, std::int64_t offset) {
  const auto length = static_cast<std::size_t>(state.range(0));
  auto buffer = make_buffer(state.range(0), offset);
  unsigned char digest[MD5_DIGEST_LENGTH];
  for (auto _ : state) {
    MD5_CTX context;
    MD5_Init(&context);
    MD5_Update(&context, buffer.data() + offset, length);
    MD5_Final(digest, &context);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(256 << 20);
}

void BM_md5_process(benchmark::State& state) {
  engine(state, 0);
}
void BM_libcrypto_md5(benchmark::State& state) {
  libcrypto(state, 0);
}
void BM_md5_process_unaligned(benchmark::State& state) {
  engine(state, UNALIGNED_OFFSET);
}
void BM_libcrypto_md5_unaligned(benchmark::State& state) {
  libcrypto(state, UNALIGNED_OFFSET);
}

// The kernels for several messages at once: aggregate throughput with
// `active` streams carrying messages of their own (the others repeat stream
// 0's work, as in a run), 1 MiB each. Every kernel from one stream to its
// full number.
constexpr std::size_t KERNEL_LENGTH = 1 << 16;

void set_bytes(benchmark::State& state, std::size_t active) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(active * KERNEL_LENGTH));
}

void lanes(benchmark::State& state, LaneEngine engine, std::size_t width) {
  const auto spans = lane_widths(engine);
  if (!lane_engine_available(engine) ||
      std::find(spans.begin(), spans.end(), width) == spans.end()) {
    state.SkipWithError("not on this CPU");
    return;
  }
  const auto active = static_cast<std::size_t>(state.range(0));
  std::vector<std::vector<std::uint8_t>> messages;
  LaneData data{};
  for (std::size_t lane = 0; lane < width; ++lane) {
    if (lane < active) messages.push_back(make_buffer(KERNEL_LENGTH, 0));
    data[lane] = messages[lane < active ? lane : 0].data();
  }
  Md5Lanes states{};
  for (auto _ : state) {
    md5_absorb_lanes(engine, width, states, data, KERNEL_LENGTH / 64);
    benchmark::DoNotOptimize(states);
  }
  set_bytes(state, active);
}

void interleaved(benchmark::State& state) {
  const auto streams = static_cast<std::size_t>(state.range(0));
  std::vector<std::vector<std::uint8_t>> messages;
  std::vector<Md5State> states(streams, MD5_INITIAL_STATE);
  std::vector<Md5State*> state_pointers;
  std::vector<const std::uint8_t*> data;
  for (std::size_t s = 0; s < streams; ++s) {
    messages.push_back(make_buffer(KERNEL_LENGTH, 0));
    state_pointers.push_back(&states[s]);
    data.push_back(messages.back().data());
  }
  for (auto _ : state) {
    md5_absorb_streams(state_pointers, data, KERNEL_LENGTH / 64);
    benchmark::DoNotOptimize(states);
  }
  set_bytes(state, streams);
}

void BM_interleaved_scalar(benchmark::State& state) {
  interleaved(state);
}
void BM_lanes_avx512_x8(benchmark::State& state) {
  lanes(state, LaneEngine::avx512, 8);
}
void BM_lanes_avx512_x16(benchmark::State& state) {
  lanes(state, LaneEngine::avx512, 16);
}
void BM_lanes_avx512_x32(benchmark::State& state) {
  lanes(state, LaneEngine::avx512, 32);
}
void BM_lanes_avx2_x8(benchmark::State& state) {
  lanes(state, LaneEngine::avx2, 8);
}
void BM_lanes_avx2_x16(benchmark::State& state) {
  lanes(state, LaneEngine::avx2, 16);
}

void up_to(benchmark::internal::Benchmark* b, std::int64_t full) {
  for (std::int64_t active = 1; active <= full; active *= 2)
    b->Arg(active);
}

BENCHMARK(BM_interleaved_scalar)->DenseRange(1, MD5_MAX_STREAMS);
BENCHMARK(BM_lanes_avx512_x8)->Apply([](auto* b) { up_to(b, 8); });
BENCHMARK(BM_lanes_avx512_x16)->Apply([](auto* b) { up_to(b, 16); });
BENCHMARK(BM_lanes_avx512_x32)->Apply([](auto* b) { up_to(b, 32); });
BENCHMARK(BM_lanes_avx2_x8)->Apply([](auto* b) { up_to(b, 8); });
BENCHMARK(BM_lanes_avx2_x16)->Apply([](auto* b) { up_to(b, 16); });
// SHA-256 of 1 MiB with each kernel the CPU has, and libcrypto's beside it.
void BM_sha256_kernel(benchmark::State& state) {
  const auto kernel = static_cast<Sha256Kernel>(state.range(0));
  if (!sha256_kernel_available(kernel)) {
    state.SkipWithError("not on this CPU");
    return;
  }
  const auto buffer = make_buffer(1 << 20, 0);
  for (auto _ : state) {
    Sha256State sha = SHA256_INITIAL_STATE;
    sha256_absorb_with(kernel, sha, buffer.data(), (1 << 20) / 64);
    benchmark::DoNotOptimize(sha);
  }
  state.SetLabel(sha256_kernel_name(kernel));
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
void BM_libcrypto_sha256(benchmark::State& state) {
  const auto buffer = make_buffer(1 << 20, 0);
  unsigned char digest[32];
  for (auto _ : state) {
    unsigned int length = 0;
    EVP_Digest(buffer.data(), 1 << 20, digest, &length, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
// 1 MiB of each of one to three messages side by side with the SHA extensions.
void BM_sha256_streams(benchmark::State& state) {
  if (!sha256_kernel_available(Sha256Kernel::sha_extensions)) {
    state.SkipWithError("not on this CPU");
    return;
  }
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto buffer = make_buffer(static_cast<std::int64_t>(count << 20), 0);
  std::array<Sha256State, SHA256_MAX_STREAMS> states{};
  std::array<Sha256State*, SHA256_MAX_STREAMS> pointers{};
  std::array<const std::uint8_t*, SHA256_MAX_STREAMS> data{};
  for (std::size_t i = 0; i < count; ++i) {
    pointers[i] = &states[i];
    data[i] = buffer.data() + (i << 20);
  }
  for (auto _ : state) {
    sha256_absorb_streams_sha_extensions(std::span(pointers).first(count),
                                         std::span(data).first(count), (1 << 20) / 64);
    benchmark::DoNotOptimize(states);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(count << 20));
}
BENCHMARK(BM_sha256_streams)->DenseRange(1, 3);
BENCHMARK(BM_sha256_kernel)
    ->Arg(static_cast<int>(Sha256Kernel::portable))
    ->Arg(static_cast<int>(Sha256Kernel::sha_extensions));
BENCHMARK(BM_libcrypto_sha256);

BENCHMARK(BM_md5_process)->Apply(sizes);
BENCHMARK(BM_libcrypto_md5)->Apply(sizes);
BENCHMARK(BM_md5_process_unaligned)->Arg(1 << 20);
BENCHMARK(BM_libcrypto_md5_unaligned)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
