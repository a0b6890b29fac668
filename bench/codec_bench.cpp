// Micro-benchmarks of the codec on the sizes the host works with: a full chunk encoded, a full
// chunk's text decoded, a body decoded in the 64 KiB blocks it is read in, and text with line
// breaks, which takes the tolerant slow path once per line.
#include <benchmark/benchmark.h>

#include <string>

#include "codec/base64.hpp"
#include "protocol/wire.hpp"

namespace {

// Each benchmark runs on each path: the scalar code (argument 0), AVX2 (1) and AVX-512 VBMI (2);
// a path the processor lacks runs as the best one it has.
struct path_choice : npc::detail::base64_path_scope {
  explicit path_choice(const benchmark::State& state)
      : base64_path_scope(static_cast<npc::detail::base64_path>(state.range(0))) {}
};

std::string bytes_of(std::size_t length) {
  std::string bytes(length, '\0');
  std::uint32_t state = 12345;
  for (auto& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string base64_text_of(std::size_t length) { return npc::base64_encode_string(bytes_of(length)); }

void encode_chunk(benchmark::State& state) {
  const path_choice path(state);
  const std::string bytes = bytes_of(npc::CHUNK_SIZE);
  std::string out(npc::base64_encoded_length(bytes.size()) + 1, '\0');
  for (auto _ : state) {
    npc::base64_encode(bytes.data(), bytes.size(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(encode_chunk)->ArgName("path")->Arg(2)->Arg(1)->Arg(0);

void decode_chunk(benchmark::State& state) {
  const path_choice path(state);
  const std::string text = base64_text_of(npc::CHUNK_SIZE);
  std::string out(text.size() + 1, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(npc::base64_decode(out.data(), text.data(), text.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(decode_chunk)->ArgName("path")->Arg(2)->Arg(1)->Arg(0);

// As the host reads a body: 64 KiB at a time, the group state carried across blocks.
void decode_blocks(benchmark::State& state) {
  const path_choice path(state);
  const std::string text = base64_text_of(4 * npc::CHUNK_SIZE);
  std::string out(text.size() + 1, '\0');
  constexpr std::size_t block = std::size_t{1} << 16;
  for (auto _ : state) {
    npc::base64_decoder decoder;
    std::size_t written = 0;
    for (std::size_t at = 0; at < text.size(); at += block)
      written += npc::base64_decode_update(decoder, out.data() + written, text.data() + at,
                                           std::min(block, text.size() - at));
    written += npc::base64_decode_final(decoder, out.data() + written);
    benchmark::DoNotOptimize(written);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(decode_blocks)->ArgName("path")->Arg(2)->Arg(1)->Arg(0);

void decode_lines(benchmark::State& state) {
  const path_choice path(state);
  const std::string plain = base64_text_of(npc::CHUNK_SIZE);
  std::string text;
  for (std::size_t at = 0; at < plain.size(); at += 76) text.append(plain, at, 76).append("\r\n");
  std::string out(text.size() + 1, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(npc::base64_decode(out.data(), text.data(), text.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(decode_lines)->ArgName("path")->Arg(2)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
