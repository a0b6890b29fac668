// Model-based random test of the request loop: random sessions of valid and invalid messages run
// through the loop with the fake library, each checked against a small model of the protocol kept
// here, apart from the host's code. Seeded and reproducible: NPC_MODEL_SEED repeats a run (its seed
// is printed), NPC_MODEL_SESSIONS sets how many sessions run (2,000 by default).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fake_library.hpp"
#include "protocol/wire.hpp"
#include "reference_base64.hpp"
#include "support.hpp"

namespace npc {
namespace {

const std::string close_text = R"({"close":"close"})";

// The model: the catalogue, split replies, assembly and the library calls, as the protocol states
// them, with the replies the library will give queued in advance.
struct protocol_model {
  std::string pending;       // bytes of a split reply not yet sent
  bool assembling = false;   // a start, or a stray piece, began an assembly
  bool spoiled = false;      // the assembly will be answered as the empty request
  std::string assembled;
  std::optional<std::size_t> outstanding;  // the request whose result the library still lends
  std::size_t calls = 0;

  std::deque<std::optional<std::string>> replies;  // what the fake library answers, in order
  std::vector<std::string> frames, requests, events;

  enum class kind { close, more, start, piece, last_piece, query };
  static kind classify(std::string_view text) {
    if (text == close_text) return kind::close;
    if (text.starts_with(R"({"more":"more")")) return kind::more;
    if (text.starts_with(R"({"part":"true")")) return kind::start;
    if (text.starts_with(R"({"part":)")) return kind::piece;
    if (text.starts_with(R"({"last":)")) return kind::last_piece;
    return kind::query;
  }

  static std::string chunk(bool last, std::string_view bytes) {
    return std::string(last ? R"({"last": ")" : R"({"part": ")") + test::reference_encode(bytes) + "\"}";
  }

  void query(std::string request, std::optional<std::string> reply) {
    request = request.substr(0, request.find('\0'));
    if (outstanding) events.push_back("free " + std::to_string(*outstanding));
    events.push_back("query " + std::to_string(calls));
    requests.push_back(request);
    replies.push_back(reply);
    outstanding.reset();
    if (reply) outstanding = calls;
    ++calls;
    pending.clear();
    if (!reply) {
      frames.push_back("null");
      return;
    }
    const std::string text = reply->substr(0, reply->find('\0'));
    if (text.size() <= DIRECT_REPLY_LIMIT) {
      frames.push_back(text);
      return;
    }
    frames.push_back(chunk(false, std::string_view(text).substr(0, CHUNK_SIZE)));
    pending = text.substr(CHUNK_SIZE);
  }

  void more() {
    const bool last = pending.size() < CHUNK_SIZE;
    const std::size_t length = last ? pending.size() : CHUNK_SIZE;
    frames.push_back(chunk(last, std::string_view(pending).substr(0, length)));
    pending.erase(0, length);
  }

  // `bytes` is what the piece's member decodes to, or nothing when the piece is unusable.
  void piece(const std::optional<std::string>& bytes, bool last, std::optional<std::string> reply) {
    if (!assembling) {
      assembling = true;
      spoiled = !last;
      assembled.clear();
    }
    if (!bytes) spoiled = true;
    if (!spoiled) assembled += *bytes;
    if (!last) {
      frames.push_back(R"({"more":"more"})");
      return;
    }
    const std::string request = spoiled ? std::string() : assembled;
    assembling = spoiled = false;
    assembled.clear();
    query(request, std::move(reply));
  }

  void start() {
    assembling = true;
    spoiled = false;
    assembled.clear();
    frames.push_back(R"({"more":"more"})");
  }
};

// Makes random sessions: each message as its text, its frame and what the model makes of it.
class session_maker {
 public:
  explicit session_maker(std::uint64_t seed) : random_(seed) {}

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(random_); }

  // Random bytes, none of them NUL unless `with_nul` puts one somewhere.
  std::string bytes(std::size_t length, bool with_nul) {
    std::string text(length, '\0');
    std::uint64_t state = random_() | 1;  // xorshift: replies run to megabytes, so cheaply
    for (std::size_t i = 0; i < length; i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::uint64_t value = state;
      for (std::size_t j = i; j < std::min(length, i + 8); ++j, value >>= 8)
        text[j] = static_cast<char>((value & 0xFF) == 0 ? 1 : value & 0xFF);
    }
    if (with_nul && length != 0) text[below(length)] = '\0';
    return text;
  }

  // A size near one of the thresholds, or a small one.
  std::size_t reply_size() {
    if (!chance(0.06)) return below(200);
    const std::size_t edges[] = {DIRECT_REPLY_LIMIT, CHUNK_SIZE, 2 * CHUNK_SIZE, 3 * CHUNK_SIZE};
    return edges[below(4)] + below(5) - 2;
  }

  std::optional<std::string> reply() {
    if (chance(0.05)) return std::nullopt;
    return bytes(reply_size(), chance(0.05));
  }

  // The frame that carries `text`, in one of the envelopes the loop must read alike.
  std::string frame(const std::string& text) {
    const std::string encoded = test::base64_of(text);
    switch (below(5)) {
      case 0:  // no quotes, unless that leaves an empty body, which would end the conversation
        if (!encoded.empty()) return test::raw_frame(encoded);
        return test::frame_of(text);
      case 1: {  // bytes outside the alphabet scattered through it
        std::string body = "\"";
        const std::string_view junk = " \n\r\t-_=\"{}!\x80\xff";
        for (const char c : encoded) {
          if (chance(0.05)) body += junk[below(junk.size())];
          body += c;
        }
        return test::raw_frame(body + "\"");
      }
      case 2: return test::raw_frame("\"" + encoded + "\"" + std::string(1, '\0') + bytes(below(20), false));
      default: return test::frame_of(text);
    }
  }

  // The member of a piece message: the form the extension sends, or another that parses alike,
  // or one that cannot be used (then `usable` is cleared).
  std::string piece_text(const char* key, const std::string& decoded, bool& usable) {
    const std::string k = key;
    std::string encoded = test::base64_of(decoded);
    usable = true;
    switch (below(12)) {
      case 0: {  // padding dropped, a line break escaped in the middle
        while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
        encoded.insert(encoded.size() / 2, "\\n");
        return "{\"" + k + "\":\"" + encoded + "\"}";
      }
      case 1: return "{\"" + k + "\": \"" + encoded + "\" , \"x\":[1,{}]}";
      case 2: return "{\"" + k + "\":\"AAAA\",\"" + k + "\":\"" + encoded + "\"}";  // the later key wins
      case 3: usable = false; return "{\"" + k + "\":\"" + encoded;                     // no end
      case 4: usable = false; return "{\"" + k + "\":" + std::to_string(decoded.size()) + "}";
      case 5: usable = false; return "{\"" + k + "\":\"" + encoded + "\\u0000\"}";
      default: return "{\"" + k + "\":\"" + encoded + "\"}";
    }
  }

  std::string start_text() {
    switch (below(6)) {
      case 0: return R"({"part":"true"})";
      case 1: return R"({"part":"true","count":-7})";
      case 2: return R"({"part":"true","count":4294967297})";
      case 3: return R"({"part":"true","count":"2"})";
      case 4: return R"({"part":"true",)";
      default: return R"({"part":"true","count":)" + std::to_string(below(4)) + "}";
    }
  }

  // The texts of a whole split request of random size and piece sizes, run through the model.
  void split_request(protocol_model& model, std::vector<std::string>& texts) {
    const std::size_t size = chance(0.02) ? CHUNK_SIZE + below(CHUNK_SIZE) : below(3000);
    const std::string request = bytes(size, chance(0.05));
    texts.push_back(start_text());
    model.start();
    std::size_t offset = 0;
    while (offset < size && chance(0.8)) {
      const std::size_t piece = std::min(size - offset, 1 + below(size < 1000 ? 300 : CHUNK_SIZE));
      message(model, texts, "part", request.substr(offset, piece));
      offset += piece;
    }
    message(model, texts, "last", request.substr(offset));
  }

  // One piece or last piece of `decoded` bytes, run through the model.
  void message(protocol_model& model, std::vector<std::string>& texts, const char* key, const std::string& decoded) {
    bool usable = true;
    const std::string text = piece_text(key, decoded, usable);
    texts.push_back(text);
    const bool last = std::string_view(key) == "last";
    // A piece whose base64 happens to begin with "true" reads as a start.
    if (protocol_model::classify(text) == protocol_model::kind::start) return model.start();
    model.piece(usable ? std::optional<std::string>(decoded) : std::nullopt, last,
                last ? reply() : std::nullopt);
  }

  // One random step of a session, run through the model.
  void step(protocol_model& model, std::vector<std::string>& texts) {
    const std::size_t what = below(100);
    if (what < 30) {  // a query, sometimes one that only looks like a message of the catalogue
      const std::string near_misses[] = {close_text + "\n", R"({ "close":"close"})", R"({"more": "more"})",
                                         R"({"last" :"QUJD"})", R"({"count":2,"part":"true"})", ""};
      std::string text = chance(0.2) ? near_misses[below(6)] : bytes(below(100), chance(0.1));
      if (text.starts_with("{\"")) text[0] = 'q';  // random bytes are no message of the catalogue
      texts.push_back(text);
      model.query(text, reply());
    } else if (what < 50) {
      texts.push_back(chance(0.8) ? R"({"more":"more"})" : R"({"more":"more"...)");
      model.more();
    } else if (what < 70) {
      split_request(model, texts);
    } else if (what < 78) {
      texts.push_back(start_text());
      model.start();
    } else if (what < 90) {
      message(model, texts, "part", bytes(below(50), false));
    } else {
      message(model, texts, "last", bytes(below(50), false));
    }
  }

  // How a run ends: the bytes after its last message, which the loop must not answer.
  std::string ending() {
    switch (below(6)) {
      case 0: return test::frame_of(close_text) + test::frame_of("never read");
      case 1: return test::length_bytes(0) + test::frame_of("never read");
      case 2: return test::length_bytes(0x8000'0000u + static_cast<std::uint32_t>(below(1000))) + "\"QUJD\"";
      case 3: return test::length_bytes(static_cast<std::uint32_t>(100 + below(1000))) + "\"QUJD";  // cut short
      case 4: return std::string("\x05\x00", 1 + below(2));  // inside the length
      default: return std::string();
    }
  }

 private:
  std::mt19937_64 random_;
};

// A message text for a failure report: printable, and short.
std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 80)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  return text.size() > 80 ? out + "..." : out;
}

// Where two lists of frames first differ, without printing megabytes.
std::string first_difference(const std::vector<std::string>& got, const std::vector<std::string>& want) {
  for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (got[i] != want[i])
      return "frame " + std::to_string(i) + ": got " + std::to_string(got[i].size()) + " bytes \"" +
             printable(got[i].substr(0, 60)) + "\", model " + std::to_string(want[i].size()) + " bytes \"" +
             printable(want[i].substr(0, 60)) + "\"";
  return "frame counts: got " + std::to_string(got.size()) + ", model " + std::to_string(want.size());
}

std::uint64_t environment_number(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 10) : fallback;
}

TEST(ModelBased, RandomSessionsMatchTheModel) {
  const std::uint64_t seed = environment_number("NPC_MODEL_SEED", std::random_device{}());
  const std::uint64_t sessions = environment_number("NPC_MODEL_SESSIONS", 2000);
  std::printf("model-based sessions: %llu, seed %llu (NPC_MODEL_SEED=%llu repeats them)\n",
              static_cast<unsigned long long>(sessions), static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(seed));
  session_maker maker(seed);
  std::size_t messages = 0;
  for (std::uint64_t session = 0; session < sessions; ++session) {
    // A session is one to three runs of the loop, each a new process to the library.
    const std::size_t runs = 1 + maker.below(3);
    for (std::size_t run = 0; run < runs; ++run) {
      protocol_model model;
      std::vector<std::string> texts;
      const std::size_t steps = maker.below(16);
      for (std::size_t i = 0; i < steps; ++i) maker.step(model, texts);
      std::string input;
      for (const auto& text : texts) input += maker.frame(text);
      input += maker.ending();
      messages += texts.size();

      test::fake_library library;
      std::deque<std::optional<std::string>> replies = model.replies;
      library.respond = [&](const std::string&) -> std::optional<std::string> {
        if (replies.empty()) {
          ADD_FAILURE() << "the library was called more often than the model says";
          return std::nullopt;
        }
        auto reply = replies.front();
        replies.pop_front();
        return reply;
      };
      // Bodies read in blocks of every size, down to single bytes, so that texts also arrive in
      // many steps and pieces are decoded as they come.
      const std::size_t blocks[] = {1, 2, 3, 5, 16, 61, 1000, READ_BLOCK_SIZE};
      const std::size_t block = blocks[maker.below(std::size(blocks))];
      const auto frames = test::read_frames(test::run_loop(library, input, nullptr, block).output);
      const bool same = frames == model.frames && library.requests == model.requests &&
                        library.events == model.events;
      if (!same) {
        std::string trace = "\n  (read in blocks of " + std::to_string(block) + ")";
        for (const auto& text : texts) trace += "\n  " + printable(text);
        FAIL() << "seed " << seed << ", session " << session << ", run " << run << ": "
               << (frames != model.frames ? first_difference(frames, model.frames)
                   : library.requests != model.requests ? std::string("the library's requests differ")
                                                        : std::string("the library's calls differ"))
               << "\nmessages:" << trace;
      }
    }
  }
  std::printf("model-based sessions: %zu messages checked\n", messages);
}

}  // namespace
}  // namespace npc
