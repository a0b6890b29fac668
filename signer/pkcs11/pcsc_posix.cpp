// PC/SC through libpcsclite, opened at run time: the library needs no smart-card stack to load,
// and a machine without one simply has no cards.
#include <dlfcn.h>

#include <chrono>
#include <future>
#include <thread>

#include "pkcs11/pcsc.hpp"

namespace npc::signer {
namespace {

// pcsc-lite's types on Unix: LONG and DWORD are the C long types.
using scard_long = long;
using scard_dword = unsigned long;
using scard_context = long;
using scard_handle = long;

constexpr scard_dword SCOPE_SYSTEM = 2;
constexpr scard_dword SHARE_SHARED = 2;
constexpr scard_dword PROTOCOL_ANY = 3;  // T=0 or T=1
constexpr scard_dword RESET_CARD = 1;
constexpr scard_long SUCCESS = 0;
constexpr scard_long SHARING_VIOLATION = static_cast<scard_long>(0x8010000BL);
constexpr std::size_t READER_LIST_LIMIT = 1 << 16;
// A stopped service takes connections and never answers them.
constexpr auto SERVICE_DEADLINE = std::chrono::seconds(3);

struct pcsc_library {
  scard_long (*establish)(scard_dword, const void*, const void*, scard_context*) = nullptr;
  scard_long (*release)(scard_context) = nullptr;
  scard_long (*list_readers)(scard_context, const char*, char*, scard_dword*) = nullptr;
  scard_long (*connect)(scard_context, const char*, scard_dword, scard_dword, scard_handle*,
                        scard_dword*) = nullptr;
  scard_long (*disconnect)(scard_handle, scard_dword) = nullptr;
  bool loaded = false;
};

const pcsc_library& library() {
  static const pcsc_library found = [] {
    pcsc_library lib;
    // Never unloaded: a call still waiting on a stopped service may be inside it.
    void* handle = ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return lib;
    lib.establish = reinterpret_cast<decltype(lib.establish)>(::dlsym(handle, "SCardEstablishContext"));
    lib.release = reinterpret_cast<decltype(lib.release)>(::dlsym(handle, "SCardReleaseContext"));
    lib.list_readers = reinterpret_cast<decltype(lib.list_readers)>(::dlsym(handle, "SCardListReaders"));
    lib.connect = reinterpret_cast<decltype(lib.connect)>(::dlsym(handle, "SCardConnect"));
    lib.disconnect = reinterpret_cast<decltype(lib.disconnect)>(::dlsym(handle, "SCardDisconnect"));
    lib.loaded = lib.establish && lib.release && lib.list_readers && lib.connect && lib.disconnect;
    return lib;
  }();
  return found;
}

std::vector<std::string> reader_names(const pcsc_library& lib, scard_context context) {
  scard_dword size = 0;
  if (lib.list_readers(context, nullptr, nullptr, &size) != SUCCESS || size == 0 ||
      size > READER_LIST_LIMIT) {
    return {};
  }
  std::string list(size, '\0');
  if (lib.list_readers(context, nullptr, list.data(), &size) != SUCCESS || size > list.size()) return {};
  list.resize(size);
  std::vector<std::string> names;
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = std::min(list.find('\0', start), list.size());
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Runs `work` on a thread of its own and waits at most SERVICE_DEADLINE for it; a thread that
// a stopped service holds stays behind, detached, and the caller goes on.
template <typename Result, typename Work>
Result within_deadline(Result late, Work work) {
  auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
  std::future<Result> result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (result.wait_for(SERVICE_DEADLINE) != std::future_status::ready) return late;
  return result.get();
}

}  // namespace

namespace detail {

std::string reader_for_slot(const std::vector<std::string>& readers, std::string_view slot_description) {
  std::size_t length = slot_description.size();
  while (length > 0 && (slot_description[length - 1] == ' ' || slot_description[length - 1] == '\0')) {
    --length;
  }
  const std::string_view wanted = slot_description.substr(0, length);
  if (wanted.empty()) return {};
  for (const std::string& reader : readers) {
    if (reader == wanted) return reader;
  }
  // Only a name that fills the whole field can have been cut short; a shorter one padded with
  // spaces is the whole name, and a reader it merely begins is another reader.
  if (wanted.size() < 64) return {};
  for (const std::string& reader : readers) {
    if (reader.size() > wanted.size() && std::string_view(reader).starts_with(wanted)) return reader;
  }
  return {};
}

}  // namespace detail

pcsc_service pcsc_service_state() {
  const pcsc_library& lib = library();
  if (!lib.loaded) return pcsc_service::absent;
  return within_deadline(pcsc_service::not_running, [&lib] {
    scard_context context = 0;
    if (lib.establish(SCOPE_SYSTEM, nullptr, nullptr, &context) != SUCCESS) return pcsc_service::not_running;
    lib.release(context);
    return pcsc_service::running;
  });
}

bool pcsc_reset_card(std::string_view slot_description) {
  const pcsc_library& lib = library();
  if (!lib.loaded) return false;
  return within_deadline(false, [&lib, description = std::string(slot_description)] {
    scard_context context = 0;
    if (lib.establish(SCOPE_SYSTEM, nullptr, nullptr, &context) != SUCCESS) return false;
    bool reset = false;
    const std::string reader = detail::reader_for_slot(reader_names(lib, context), description);
    if (!reader.empty()) {
      scard_handle card = 0;
      scard_dword protocol = 0;
      scard_long rv = SHARING_VIOLATION;
      // Another program's transaction holds the card only for a moment.
      for (int tries = 0; tries < 20 && rv == SHARING_VIOLATION; ++tries) {
        rv = lib.connect(context, reader.c_str(), SHARE_SHARED, PROTOCOL_ANY, &card, &protocol);
        if (rv == SHARING_VIOLATION) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (rv == SUCCESS) reset = lib.disconnect(card, RESET_CARD) == SUCCESS;
    }
    lib.release(context);
    return reset;
  });
}

}  // namespace npc::signer
