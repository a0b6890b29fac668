// Fuzz target for the whole request loop: an arbitrary byte stream as its input, a fake library
// that checks the call contract, and an output checker that predicts every frame from an
// independent reading of the input (frames, envelope, catalogue) and the fake library's results.
// A request whose text begins with one of the letters below gets a reply of that kind, so the
// fuzzer reaches null, empty, cut and split replies:
//   N null   E empty   Z a NUL inside   L exactly the limit   M one byte over   D two full chunks
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/request_loop.hpp"
#include "protocol/wire.hpp"
#include "check.hpp"
#include "reference_base64.hpp"

namespace {

using npc::fuzz::check;

struct fake_library {
  std::vector<std::string> requests;
  std::vector<const char*> results;  // every result in call order; null for a null result
  const char* outstanding = nullptr;  // the latest non-null result, not yet handed back
};
fake_library* library = nullptr;

std::string filled(std::size_t call, std::size_t length) {
  std::string text = "{\"r\":" + std::to_string(call) + ",\"x\":\"";
  text.append(length - text.size() - 2, static_cast<char>('a' + call % 26));
  return text + "\"}";
}

// The library's reply to the request of call number `call`, as the bytes before its NUL and after.
std::string reply_for(const std::string& request, std::size_t call) {
  switch (request.empty() ? '\0' : request[0]) {
    case 'E': return std::string();
    case 'Z': return "{\"r\":" + std::to_string(call) + "}" + std::string(1, '\0') + R"({"more":"more"})";
    case 'L': return filled(call, npc::DIRECT_REPLY_LIMIT);
    case 'M': return filled(call, npc::DIRECT_REPLY_LIMIT + 1);
    case 'D': return filled(call, 2 * npc::CHUNK_SIZE);
    default: return "{\"r\":" + std::to_string(call) + "}";
  }
}

const char* process_query(const char* request, const char* extra) {
  check(extra != nullptr && *extra == '\0', "the second text is empty");
  check(library->outstanding == nullptr, "the previous result is handed back before the next query");
  const std::string text(request);
  const std::size_t call = library->requests.size();
  library->requests.push_back(text);
  if (!text.empty() && text[0] == 'N') {
    library->results.push_back(nullptr);
    return nullptr;
  }
  const std::string reply = reply_for(text, call);
  // Exactly the bytes and the NUL, so that a read past the end is caught.
  auto* result = static_cast<char*>(std::malloc(reply.size() + 1));
  std::memcpy(result, reply.data(), reply.size());
  result[reply.size()] = '\0';
  library->results.push_back(result);
  library->outstanding = result;
  return result;
}

void free_result(const char* result) {
  check(result != nullptr && result == library->outstanding, "only the latest result is handed back");
  library->outstanding = nullptr;
  // Poisoned rather than freed: a later read of it would send X's, which the checker sees. Freed
  // at the end of the run.
  std::memset(const_cast<char*>(result), 'X', std::strlen(result));
}

// What the host must answer to one inbound message.
enum class kind { close, more, start, piece, last_piece, query };

kind classify(const std::string& text) {
  if (text == R"({"close":"close"})") return kind::close;
  if (text.rfind(R"({"more":"more")", 0) == 0) return kind::more;
  if (text.rfind(R"({"part":"true")", 0) == 0) return kind::start;
  if (text.rfind(R"({"part":)", 0) == 0) return kind::piece;
  if (text.rfind(R"({"last":)", 0) == 0) return kind::last_piece;
  return kind::query;
}

std::string cut_at_nul(std::string_view bytes) { return std::string(bytes.substr(0, bytes.find('\0'))); }

// The inbound messages the host must answer, in order: complete frames of positive length, up to
// a close, a length of 0 or less, or a body cut short.
std::vector<std::string> inbound_texts(std::string_view input) {
  std::vector<std::string> texts;
  while (input.size() >= 4) {
    const std::uint32_t length = npc::get_length(input.data());
    if (length == 0 || length > 0x7FFF'FFFFu || input.size() - 4 < length) break;
    const std::string text = cut_at_nul(npc::test::reference_decode(cut_at_nul(input.substr(4, length))));
    if (classify(text) == kind::close) break;
    texts.push_back(text);
    input.remove_prefix(4 + length);
  }
  return texts;
}

std::vector<std::string_view> outbound_frames(std::string_view output) {
  std::vector<std::string_view> frames;
  while (!output.empty()) {
    check(output.size() >= 4, "the output ends on a frame boundary");
    const std::uint32_t length = npc::get_length(output.data());
    check(length <= npc::DIRECT_REPLY_LIMIT, "no frame is longer than the limit");
    check(output.size() - 4 >= length, "every frame is complete");
    frames.push_back(output.substr(4, length));
    output.remove_prefix(4 + length);
  }
  return frames;
}

std::string chunk_frame(bool last, std::string_view bytes) {
  return std::string(last ? R"({"last": ")" : R"({"part": ")") + npc::test::reference_encode(bytes) + "\"}";
}

void check_conversation(std::string_view input, std::string_view output) {
  const std::vector<std::string> texts = inbound_texts(input);
  const std::vector<std::string_view> frames = outbound_frames(output);
  check(frames.size() == texts.size(), "one frame answers each message before the end");
  std::size_t call = 0;
  std::string reply;
  std::string_view pending;  // what is left of a split reply
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string_view frame = frames[i];
    const kind k = classify(texts[i]);
    if (k == kind::start || k == kind::piece) {
      check(frame == R"({"more":"more"})", "starts and pieces are acknowledged exactly");
      continue;
    }
    if (k == kind::more) {
      const bool last = pending.size() < npc::CHUNK_SIZE;
      const std::size_t length = last ? pending.size() : npc::CHUNK_SIZE;
      check(frame == chunk_frame(last, std::string_view(pending).substr(0, length)), "the next chunk, exactly");
      pending = last ? std::string_view() : pending.substr(length);
      continue;
    }
    // A query or a last piece: one call of the library, whose result is sent.
    check(call < library->requests.size(), "every query reaches the library");
    if (k == kind::query) check(library->requests[call] == texts[i], "a query reaches the library unchanged");
    const char* result = library->results[call++];
    pending = {};
    if (result == nullptr) {
      check(frame == "null", "a null result is answered with null");
      continue;
    }
    // The reply as the library made it: a handed-back result was poisoned, so make it again.
    reply = cut_at_nul(reply_for(library->requests[call - 1], call - 1));
    if (reply.size() <= npc::DIRECT_REPLY_LIMIT) {
      check(frame == reply, "a reply up to the limit is sent whole and unchanged");
      continue;
    }
    check(frame == chunk_frame(false, std::string_view(reply).substr(0, npc::CHUNK_SIZE)),
          "a long reply starts with a full part");
    pending = std::string_view(reply).substr(npc::CHUNK_SIZE);
  }
  check(call == library->requests.size(), "the library is called for queries and last pieces only");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fake_library fake;
  library = &fake;
  // The input as the loop's standard input; fmemopen needs a buffer it may call its own.
  std::string input(reinterpret_cast<const char*>(data), size);
  // Bodies read in the host's own blocks, or in blocks of 1 to 16 bytes picked by the input's
  // length, so that texts also arrive in many steps.
  const std::size_t block = size % 3 == 0 ? npc::READ_BLOCK_SIZE : 1 + size % 16;
  std::FILE* in = fmemopen(input.empty() ? nullptr : input.data(), input.empty() ? 1 : input.size(), "rb");
  // A file, not a memory stream: the loop makes its output unbuffered, which glibc's memory
  // streams do not survive.
  std::FILE* out = std::tmpfile();
  if (in == nullptr || out == nullptr) std::abort();

  const npc::library_entries entries{&process_query, &free_result};
  check(npc::serve(in, out, entries, block) == 0, "the loop returns 0");
  std::fclose(in);
  std::string output(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  check(std::fread(output.data(), 1, output.size(), out) == output.size(), "the output reads back");
  std::fclose(out);
  check_conversation(input, output);

  for (const char* result : fake.results) std::free(const_cast<char*>(result));
  library = nullptr;
  return 0;
}
