// A fake signing library for driving the request loop in-process: scripted replies, a record of
// every call in order, and a check of the call contract on every addon_free.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/request_loop.hpp"
#include "protocol/wire.hpp"

namespace npc::test {

struct fake_library {
  // The reply to a request; nothing means a null result.
  std::function<std::optional<std::string>(const std::string&)> respond = [](const std::string& request) {
    return std::optional<std::string>("{\"got\":" + std::to_string(request.size()) + "}");
  };
  std::vector<std::string> requests;
  std::vector<std::string> events;                // "query N" and "free N", N counting results
  std::vector<std::unique_ptr<char[]>> results;   // kept to the end, so a stray read finds poison
  const char* latest = nullptr;
  std::size_t latest_index = 0;

  library_entries entries() const { return {&process_query, &free_result}; }

  static inline fake_library* current = nullptr;

  static const char* process_query(const char* request, const char* extra) {
    fake_library& self = *current;
    EXPECT_STREQ(extra, "");
    self.requests.emplace_back(request);
    self.events.push_back("query " + std::to_string(self.requests.size() - 1));
    const std::optional<std::string> reply = self.respond(self.requests.back());
    if (!reply) {
      self.latest = nullptr;
      return nullptr;
    }
    auto text = std::make_unique<char[]>(reply->size() + 1);
    std::memcpy(text.get(), reply->data(), reply->size());
    text[reply->size()] = '\0';
    self.latest = text.get();
    self.latest_index = self.requests.size() - 1;
    self.results.push_back(std::move(text));
    return self.latest;
  }

  static void free_result(const char* result) {
    fake_library& self = *current;
    EXPECT_NE(result, nullptr) << "addon_free given a null result";
    EXPECT_EQ(result, self.latest) << "addon_free given other than the latest result";
    self.events.push_back("free " + std::to_string(self.latest_index));
    // Poison what was freed: a later read of it would send X's.
    if (result != nullptr) std::memset(const_cast<char*>(result), 'X', std::strlen(result));
    self.latest = nullptr;
  }
};

// Runs the loop over `input` and returns everything it wrote.
struct loop_run {
  std::string output;
  int status = -1;
};

// A temporary file for the loop's streams. Under Wine, tmpfile now and then fails while many test
// processes run side by side, and two of them can even be handed the same file, which is why the
// Windows stage runs its tests one at a time; another try succeeds where it fails.
inline std::FILE* temporary_stream() {
  for (int attempt = 0; attempt < 100; ++attempt)
    if (std::FILE* file = std::tmpfile()) return file;
  return nullptr;
}

inline loop_run run_loop(fake_library& library, const std::string& input, std::FILE* out = nullptr,
                         std::size_t block_size = READ_BLOCK_SIZE) {
  fake_library::current = &library;
  loop_run run;
  std::FILE* in = temporary_stream();
  const bool own_out = out == nullptr;
  if (own_out) out = temporary_stream();
  if (in == nullptr || out == nullptr) {
    ADD_FAILURE() << "no temporary file for the loop's streams";
    if (in != nullptr) std::fclose(in);
    if (own_out && out != nullptr) std::fclose(out);
    return run;
  }
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  const library_entries entries = library.entries();
  run.status = serve(in, out, entries, block_size);
  if (own_out) {
    std::rewind(out);
    char block[1 << 16];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, out)) != 0;) run.output.append(block, n);
    std::fclose(out);
  }
  std::fclose(in);
  return run;
}

}  // namespace npc::test
