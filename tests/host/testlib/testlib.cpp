// A signing library for the host's process-level tests. Its reply is chosen by the request text,
// and it aborts the process on any breach of the call contract, so a test sees the breach in the
// host's exit status. Built with NPC_TESTLIB_PRINTS it also writes to standard output when it is
// loaded and on every call, as closed libraries with debug output left in do.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#if defined(_WIN32)
#define NPC_EXPORT extern "C" __declspec(dllexport)
#else
#define NPC_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::thread::id loading_thread;  // the host loads its library on the main thread
struct remember_loading_thread {
  remember_loading_thread() { loading_thread = std::this_thread::get_id(); }
} remember;

// Through the C runtime's buffer and flushed, and left in the buffer for the exit to flush, so
// that both reach descriptor 1.
void print_to_standard_output([[maybe_unused]] const char* what) {
#ifdef NPC_TESTLIB_PRINTS
  std::printf("test library says: %s\n", what);
  std::fflush(stdout);
  std::fputs("{\"unflushed\":\"debug output\"}\n", stdout);
#endif
}

// The descriptor a file opened now gets, as a module's files would; -1 when it cannot be opened.
int descriptor_of_file(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return -1;
  const int fd = fileno(file);
  std::fclose(file);
  return fd;
}

struct print_when_loaded {
  print_when_loaded() {
    print_to_standard_output("loaded");
    if (const char* path = std::getenv("NPC_TESTLIB_OPEN_AT_LOAD"))
      std::fprintf(stderr, "test library: a file opened at load took descriptor %d\n", descriptor_of_file(path));
  }
} print_loaded;

std::atomic<int> calls_under_way{0};
const char* latest_result = nullptr;
const bool tracing = std::getenv("NPC_TESTLIB_TRACE") != nullptr;

[[noreturn]] void breach(const char* what) {
  std::fprintf(stderr, "test library: call contract broken: %s\n", what);
  std::abort();
}

struct call_guard {
  call_guard() {
    if (calls_under_way.fetch_add(1) != 0) breach("concurrent calls");
    if (std::this_thread::get_id() == loading_thread) breach("a call on the main thread");
  }
  ~call_guard() { calls_under_way.fetch_sub(1); }
};

char* allocate(std::string_view bytes) {
  auto* out = static_cast<char*>(std::malloc(bytes.size() + 1));
  std::memcpy(out, bytes.data(), bytes.size());
  out[bytes.size()] = '\0';
  return out;
}

// A JSON string of exactly `total` bytes, quotes included.
std::string json_string_of(std::size_t total, std::string_view cycle) {
  std::string text = "\"";
  const std::size_t content = total >= 2 ? total - 2 : 0;
  while (text.size() - 1 + cycle.size() <= content) text += cycle;
  text.append(content - (text.size() - 1), 'a');
  if (total >= 2) text += '"';
  return text.substr(0, total);
}

std::uint64_t fnv1a(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

std::size_t number_after(std::string_view request, std::string_view prefix) {
  return std::strtoull(std::string(request.substr(prefix.size())).c_str(), nullptr, 10);
}

const char* answer(std::string_view request) {
  if (request.starts_with("echo:")) return allocate(request.substr(5));
  if (request.starts_with("size:"))
    return allocate(json_string_of(number_after(request, "size:"), "abcdefghijklmnopqrstuvwxyz0123456789"));
  // One character each of 1, 2, 3 and 4 bytes, so chunk edges fall inside characters.
  if (request.starts_with("utf8:"))
    return allocate(json_string_of(number_after(request, "utf8:"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  if (request == "nul") return allocate(std::string_view("\"ab\"\0\"cd\"", 9));
  if (request == "null") return nullptr;
  if (request.starts_with("open:"))
    return allocate("{\"fd\":" + std::to_string(descriptor_of_file(std::string(request.substr(5)).c_str())) + "}");
  if (request.starts_with("slow:"))
    std::this_thread::sleep_for(std::chrono::milliseconds(number_after(request, "slow:")));
  char reply[96];
  std::snprintf(reply, sizeof reply, "{\"length\":%zu,\"fnv1a\":\"%016llx\"}", request.size(),
                static_cast<unsigned long long>(fnv1a(request)));
  return allocate(reply);
}

}  // namespace

NPC_EXPORT const char* addon_process_query(const char* request, const char* extra) {
  call_guard guard;
  if (extra == nullptr || *extra != '\0') breach("the second text is not empty");
  const std::string_view text(request);
  if (tracing) std::fprintf(stderr, "query %zu\n", text.size());
  print_to_standard_output("query");
  latest_result = answer(text);
  return latest_result;
}

#ifndef NPC_TESTLIB_WITHOUT_FREE
NPC_EXPORT void addon_free(const char* result) {
  call_guard guard;
  if (tracing) std::fprintf(stderr, "free\n");
  print_to_standard_output("free");
  if (result == nullptr || result != latest_result) breach("addon_free given other than the latest result");
  std::free(const_cast<char*>(result));
  latest_result = nullptr;
}
#endif
