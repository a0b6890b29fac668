// The built host as a process, with the test library: start-up failures and their exit statuses,
// the browser's arguments, the library search, whole conversations checked byte for byte, hostile
// libraries and browsers, and peak memory. The same cases run against a Windows build of the host
// under Wine; see `setup` below. NPC_HOST_WRAPPER (a command and its arguments, split at spaces)
// runs the host under a tool such as valgrind.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "posix_support.hpp"
#include "protocol/wire.hpp"
#include "support.hpp"

extern char** environ;

namespace npc {
namespace {

using test::frame_of;
using test::read_frames;

std::string from_environment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : otherwise;
}

// The host under test and its test libraries: this build's own by default. Another build's host
// (a Windows .exe) is named in the environment together with a launcher that runs it (wine), and
// its libraries are put beside a copy of it, since no search path comes before the host's folder.
struct test_setup {
  std::string host = from_environment("NPC_TEST_HOST", NPC_HOST_PATH);
  std::string launcher = from_environment("NPC_TEST_LAUNCHER", "");
  std::string library = from_environment("NPC_TEST_LIBRARY", NPC_TESTLIB_PATH);
  std::string library_without_free = from_environment("NPC_TEST_LIBRARY_WITHOUT_FREE", NPC_TESTLIB_WITHOUT_FREE_PATH);
  std::string library_printing = from_environment("NPC_TEST_LIBRARY_PRINTING", NPC_TESTLIB_PRINTING_PATH);
  bool library_beside_host = !from_environment("NPC_TEST_LIBRARY_BESIDE_HOST", "").empty();
};
const test_setup setup;

namespace fs = std::filesystem;

fs::path temporary_folder() {
  char pattern[] = "/tmp/npc-host-XXXXXX";
  return mkdtemp(pattern);
}

// A copy of the host in a folder of its own ("bin"), with no signing library anywhere it searches
// until one is put beside it.
struct host_copy {
  fs::path dir = temporary_folder();
  host_copy() {
    fs::create_directory(dir / "bin");
    fs::copy_file(setup.host, host());
  }
  ~host_copy() { fs::remove_all(dir); }
  host_copy(const host_copy&) = delete;
  host_copy& operator=(const host_copy&) = delete;
  std::string host() const { return (dir / "bin" / fs::path(setup.host).filename()).string(); }
  void put_beside(const std::string& library) const {
    fs::copy_file(library, dir / "bin" / fs::path(library).filename(), fs::copy_options::overwrite_existing);
  }
};

using host_run = test::child_run;

struct host_options {
  std::vector<std::string> args;
  // Found ahead of the bundled library: its folder goes first on LD_LIBRARY_PATH, or the library
  // goes beside a copy of the host. Empty for none.
  std::string library = setup.library;
  std::string host = setup.host;
  std::string cwd;
  bool trace = true;
  bool close_output_early = false;  // the browser stops reading before the first reply
  // The browser stops reading once this many bytes of output have arrived.
  std::size_t close_output_after = std::numeric_limits<std::size_t>::max();
  std::vector<int> closed_descriptors;  // standard descriptors the host starts without
};

// The command that runs the host under a tool, from NPC_HOST_WRAPPER; empty to run it directly.
std::vector<std::string> host_wrapper() {
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("NPC_HOST_WRAPPER")) {
    std::istringstream split(wrapper);
    for (std::string word; split >> word;) words.push_back(word);
  }
  return words;
}

// Whether the host runs under a tool or a launcher (Wine), which open descriptors of their own.
bool host_is_wrapped() { return !host_wrapper().empty() || !setup.launcher.empty(); }

// Memory figures mean nothing when the host runs under a sanitizer, a tool or Wine.
bool host_is_instrumented() {
#if defined(NPC_SANITIZED)
  return true;
#else
  return host_is_wrapped();
#endif
}

using host_input = test::child_input;

// Starts the host, writes `input` to it while reading both its outputs, closes its input and waits.
host_run run_host(const host_input& input, const host_options& options = {}) {
  test::child_command command;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with("LD_LIBRARY_PATH=") && !entry.starts_with("NPC_TESTLIB_TRACE=")) command.env.emplace_back(entry);
  }
  std::string host = options.host;
  std::optional<host_copy> copy;
  if (!options.library.empty() && setup.library_beside_host) {
    copy.emplace();
    copy->put_beside(options.library);
    host = copy->host();
  } else if (!options.library.empty()) {
    command.env.push_back("LD_LIBRARY_PATH=" + fs::path(options.library).parent_path().string());
  }
  if (options.trace) command.env.push_back("NPC_TESTLIB_TRACE=1");
  command.argv = host_wrapper();
  if (!setup.launcher.empty()) command.argv.push_back(setup.launcher);
  command.argv.push_back(host);
  command.argv.insert(command.argv.end(), options.args.begin(), options.args.end());
  command.cwd = options.cwd;
  command.closed_descriptors = options.closed_descriptors;
  test::pump_options pump;
  // Under a tool such as valgrind the host runs many times slower.
  pump.deadline = std::chrono::seconds(host_wrapper().empty() ? 60 : 600);
  pump.close_output_early = options.close_output_early;
  pump.close_output_after = options.close_output_after;
  host_run result = test::run_child(command, input, pump);
  // The test library traces through the C runtime's stderr, which stays in text mode on Windows.
  for (std::size_t at; (at = result.err.find("\r\n")) != std::string::npos;) result.err.erase(at, 1);
  return result;
}

const std::string close_text = R"({"close":"close"})";
const std::string more = R"({"more":"more"})";

TEST(HostProcess, StartUpFailuresExitWithMinusOneAndWriteNothing) {
  host_copy lonely;
  host_options missing;
  missing.host = lonely.host();
  missing.library = "";
  host_options without_free;
  without_free.library = setup.library_without_free;
  for (const auto& [name, options] : {std::pair{"no library", missing}, std::pair{"no addon_free", without_free}}) {
    const host_run run = run_host(frame_of("hello"), options);
    EXPECT_EQ(run.exit_status, 255) << name;
    EXPECT_TRUE(run.out.empty()) << name;
    EXPECT_TRUE(run.err.empty()) << name;
  }
}

TEST(HostProcess, EndOfInputBeforeAnyMessageExitsCleanlyWithoutCallingTheLibrary) {
  const host_run run = run_host(std::string());
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(run.out.empty());
  EXPECT_TRUE(run.err.empty()) << "the library was called: " << run.err;
}

TEST(HostProcess, BrowserArgumentsAndWorkingDirectoryChangeNothing) {
  const std::string input = frame_of("hello") + frame_of("nul") + frame_of(close_text);
  const host_run plain = run_host(input);
  EXPECT_EQ(plain.exit_status, 0);
  EXPECT_EQ(read_frames(plain.out),
            (std::vector<std::string>{R"({"length":5,"fnv1a":"a430d84680aabd0b"})", "\"ab\""}));
  const std::vector<std::vector<std::string>> argument_sets = {
      {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/"},
      {"/home/user/.mozilla/native-messaging-hosts/npcorvane.json", "signer@example.org"},
      {"--help", "-v", ""},
  };
  for (const auto& args : argument_sets) {
    host_options options;
    options.args = args;
    options.cwd = "/";
    const host_run run = run_host(input, options);
    EXPECT_EQ(run.exit_status, 0) << args[0];
    EXPECT_EQ(run.out, plain.out) << args[0];
  }
}

TEST(HostProcess, FindsTheBundledLibraryBesideItFromAnyDirectory) {
#if defined(NPC_SANITIZED)
  // The sanitizer runtime makes the dlopen call itself, so the host's RUNPATH is not searched.
  GTEST_SKIP() << "a sanitizer's dlopen does not search the host's RUNPATH";
#endif
  host_options options;
  options.library = "";
  options.cwd = "/";
  const host_run run = run_host(frame_of(R"({"operation":"echo","data":"abc"})") + frame_of(close_text), options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(read_frames(run.out), (std::vector<std::string>{R"({"status":"ok","operation":"echo","data":"abc"})"}));
}

// A library planted in the working directory must not be loaded into a signing host; the same
// library beside the host is.
TEST(HostProcess, IgnoresALibraryInTheWorkingDirectory) {
#if defined(NPC_SANITIZED)
  GTEST_SKIP() << "a sanitizer's dlopen does not search the host's RUNPATH, where the library beside it is found";
#endif
  host_copy lonely;
  const fs::path work = lonely.dir / "work";
  fs::create_directory(work);
  fs::copy_file(setup.library, work / fs::path(setup.library).filename());
  host_options options;
  options.host = lonely.host();
  options.library = "";
  options.cwd = work.string();
  const std::string input = frame_of("hello") + frame_of(close_text);
  const host_run planted = run_host(input, options);
  EXPECT_EQ(planted.exit_status, 255);
  EXPECT_TRUE(planted.out.empty());

  lonely.put_beside(setup.library);
  const host_run beside = run_host(input, options);
  EXPECT_EQ(beside.exit_status, 0);
  EXPECT_EQ(read_frames(beside.out), (std::vector<std::string>{R"({"length":5,"fnv1a":"a430d84680aabd0b"})"}));
}

// The bytes a stream in text mode would change (LF and CR, 0x1A as the end of input, NUL) in the
// length bytes and bodies of frames both ways. Inbound bodies carry them outside the base64: the
// decoder skips what is not its alphabet and the envelope ends at the first NUL. Outbound, the
// test library echoes them.
TEST(HostProcess, LineEndAndEndOfFileBytesPassUnchangedBothWays) {
  const std::string awkward("\r\n\x1a\n\0\r", 6);
  struct exchange {
    std::uint32_t reply_length;  // the length bytes out: 0A, 0D or 1A first
    std::uint32_t frame_length;  // the length bytes in
  };
  const exchange exchanges[] = {
      {0x0A, 0x0D0A}, {0x0D, 0x0A1A}, {0x1A, 0x0D1A0D}, {0x0A0D1A, 0x1A0D0A},
  };
  std::string input, expected;
  for (const auto& [reply_length, frame_length] : exchanges) {
    std::string reply;
    while (reply.size() < reply_length) reply += "\r\n\x1a\n\rx";
    reply.resize(reply_length);
    std::string body = "\"" + test::base64_of("echo:" + reply) + "\"" + awkward;
    ASSERT_LE(body.size(), frame_length);
    while (body.size() < frame_length) body += awkward;
    body.resize(frame_length);
    input += test::raw_frame(body);
    expected += test::raw_frame(reply);
  }
  input += frame_of(close_text);
  const host_run run = run_host(input);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out.size(), expected.size());
  EXPECT_TRUE(run.out == expected) << "the output differs from the echoed bytes";
}

TEST(HostProcess, WholeConversationIsByteExact) {
  const std::string request(2 * CHUNK_SIZE + 5, 'r');
  std::string input = frame_of("size:1048576") + frame_of("size:1048577") + frame_of(more) + frame_of(more) +
                      frame_of("null") + frame_of("after null");
  for (const auto& text : test::split_request_texts(request, CHUNK_SIZE)) input += frame_of(text);
  input += frame_of(close_text) + frame_of("never read");
  const host_run run = run_host(input);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "query 12\nfree\nquery 12\nfree\nquery 4\nquery 10\nfree\nquery 1572851\n");
  const auto frames = read_frames(run.out);
  ASSERT_EQ(frames.size(), 10u);
  EXPECT_EQ(frames[0].size(), DIRECT_REPLY_LIMIT);
  EXPECT_EQ(frames[1].size(), DIRECT_REPLY_LIMIT);
  EXPECT_TRUE(frames[1].starts_with(R"({"part": ")"));
  EXPECT_EQ(frames[2].size(), 349'552u);  // the 262,154 bytes left, in base64, in {"last": "..."}
  EXPECT_EQ(frames[3], R"({"last": ""})");
  EXPECT_EQ(frames[4], "null");
  EXPECT_EQ(frames[6], R"({"more":"more"})");
  EXPECT_EQ(frames[7], R"({"more":"more"})");
  EXPECT_EQ(frames[8], R"({"more":"more"})");
  EXPECT_EQ(frames[9], R"({"length":1572851,"fnv1a":"9e978624168f5af5"})");
}

TEST(HostProcess, BrowserGoingAwayEndsTheHostWithoutASignal) {
  host_options options;
  options.close_output_early = true;
  const host_run run = run_host(frame_of("size:5000000") + frame_of(more) + frame_of(more), options);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, 0);
}

// The library's debug output goes to standard error, never between the frames, also when the
// host has no standard error at all.
TEST(HostProcess, LibraryPrintingToStandardOutputCannotCorruptTheFrames) {
  std::string input = frame_of("hello") + frame_of("size:1048577") + frame_of(more) + frame_of("null") +
                      frame_of("nul");
  for (const auto& text : test::split_request_texts(std::string(CHUNK_SIZE + 7, 'p'), CHUNK_SIZE)) input += frame_of(text);
  input += frame_of(close_text);
  const host_run quiet = run_host(input);
  ASSERT_EQ(quiet.exit_status, 0);
  ASSERT_EQ(read_frames(quiet.out).size(), 8u);

  host_options printing;
  printing.library = setup.library_printing;
  const host_run loud = run_host(input, printing);
  EXPECT_EQ(loud.exit_status, 0);
  EXPECT_TRUE(loud.out == quiet.out) << "the frames differ; " << loud.out.size() << " bytes against " << quiet.out.size();
  EXPECT_NE(loud.err.find("test library says: loaded\n"), std::string::npos) << loud.err;
  EXPECT_NE(loud.err.find("test library says: free\n"), std::string::npos) << loud.err;
  EXPECT_NE(loud.err.find("{\"unflushed\":\"debug output\"}"), std::string::npos) << loud.err;

  // A tool or launcher that wraps the host opens files of its own, which take the free descriptors.
  if (host_is_wrapped()) return;
  printing.closed_descriptors = {2};
  const host_run without_error = run_host(input, printing);
  EXPECT_EQ(without_error.exit_status, 0);
  EXPECT_TRUE(without_error.out == quiet.out)
      << "the frames differ; " << without_error.out.size() << " bytes against " << quiet.out.size();
}

// A standard descriptor the host started without is held by the null device for its whole life:
// a file the library opens later must never take its place, where the host's input would be read
// from it or a stray message written into it.
TEST(HostProcess, FilesOpenedLaterNeverTakeAClosedStandardDescriptor) {
  if (host_is_wrapped()) GTEST_SKIP() << "a tool or launcher that wraps the host takes the free descriptors";
  const auto descriptor_in = [](const std::string& text, const std::string& before) {
    const std::size_t at = text.find(before);
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + before.size());
  };
  // Without standard error the library is asked, and answers with the descriptor a file got.
  host_options options;
  options.closed_descriptors = {2};
  options.trace = false;
  const std::string query = "open:" + setup.library;
  const host_run without_error = run_host(frame_of(query) + frame_of(query), options);
  EXPECT_EQ(without_error.exit_status, 0);
  const auto frames = read_frames(without_error.out);
  ASSERT_EQ(frames.size(), 2u);
  for (const auto& frame : frames) EXPECT_GT(descriptor_in(frame, "\"fd\":"), 2) << frame;

  // Without standard input (and without error) nothing can be asked: the library opens a file as
  // it is loaded and says which descriptor it got on standard error, when there is one.
  ASSERT_EQ(setenv("NPC_TESTLIB_OPEN_AT_LOAD", setup.library.c_str(), 1), 0);
  for (const std::vector<int>& closed : {std::vector<int>{0}, {0, 2}}) {
    options.closed_descriptors = closed;
    const host_run run = run_host(std::string(), options);
    EXPECT_EQ(run.exit_status, 0);
    if (closed.size() == 1) {
      EXPECT_GT(descriptor_in(run.err, "took descriptor "), 2) << run.err;
    }
  }
  unsetenv("NPC_TESTLIB_OPEN_AT_LOAD");
}

TEST(HostProcess, WithoutStandardOutputStartUpFailsBeforeTheLibraryLoads) {
  if (host_is_wrapped()) GTEST_SKIP() << "a tool or launcher that wraps the host takes the free descriptors";
  host_options options;
  options.library = setup.library_printing;
  options.closed_descriptors = {1};
  const host_run run = run_host(frame_of("hello"), options);
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(HostProcess, HundredMegabyteReplyArrivesWholeInChunks) {
  const std::size_t length = 100 << 20;
  const std::size_t chunks = length / CHUNK_SIZE + 1;
  std::string input = frame_of("size:" + std::to_string(length));
  for (std::size_t i = 1; i < chunks; ++i) input += frame_of(more);
  input += frame_of(more) + frame_of(close_text);  // one more than needed: nothing is pending then
  const host_run run = run_host(input);
  EXPECT_EQ(run.exit_status, 0);
  const auto frames = read_frames(run.out);
  ASSERT_EQ(frames.size(), chunks + 1);
  std::string joined;
  joined.reserve(length);
  for (std::size_t i = 0; i < chunks; ++i) {
    const bool last = i + 1 == chunks;
    const std::string_view frame = frames[i];
    ASSERT_TRUE(frame.starts_with(last ? R"({"last": ")" : R"({"part": ")")) << i;
    ASSERT_TRUE(frame.ends_with("\"}")) << i;
    if (!last) {
      ASSERT_EQ(frame.size(), DIRECT_REPLY_LIMIT) << i;
    }
    joined += test::unbase64(frame.substr(10, frame.size() - 12));
  }
  EXPECT_EQ(frames.back(), R"({"last": ""})");
  // The test library's text: a quote, the cycle over and over, "a" to fill, a quote.
  const std::string_view cycle = "abcdefghijklmnopqrstuvwxyz0123456789";
  ASSERT_EQ(joined.size(), length);
  EXPECT_EQ(joined.front(), '"');
  EXPECT_EQ(joined.back(), '"');
  for (std::size_t i = 1; i + cycle.size() < length - 1; i += 997 * cycle.size())
    ASSERT_EQ(std::string_view(joined).substr(i, cycle.size()), cycle) << "at " << i;
}

// A chunk message crosses the browser's pipe in one hand-over only if the pipe holds it: the
// host widens both of its pipes where the system lets an ordinary process do so.
TEST(HostProcess, WidensItsPipesToHoldAChunkMessage) {
  if (!setup.launcher.empty()) GTEST_SKIP() << "the pipes of a Windows host are not its own to widen";
  long most = 0;
  std::ifstream("/proc/sys/fs/pipe-max-size") >> most;
  if (most < (1 << 20)) GTEST_SKIP() << "this system lets a process widen a pipe only to " << most << " bytes";
  // The long second message keeps the pipe to the host open until the first answer is read.
  const host_run run = run_host(host_input(frame_of("hello")).then(frame_of(std::string(3 << 20, 'x'))).then(frame_of(close_text)));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output_pipe_size, 1 << 20);
  EXPECT_EQ(run.input_pipe_size, 1 << 20);
}

TEST(HostProcess, SlowLibraryIsWaitedForAndMessagesQueueBehindIt) {
  const auto start = std::chrono::steady_clock::now();
  const host_run run = run_host(frame_of("slow:1500") + frame_of("next") + frame_of(close_text));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "query 9\nfree\nquery 4\n");
  EXPECT_EQ(read_frames(run.out), (std::vector<std::string>{R"({"length":9,"fnv1a":"ce2b44ef217a6b00"})",
                                                           R"({"length":4,"fnv1a":"e5316cbaa025f028"})"}));
}

TEST(HostProcess, BrowserClosingOutputDuringASplitReplyEndsTheHostQuietly) {
  host_options options;
  options.close_output_after = 4 + DIRECT_REPLY_LIMIT;  // the first chunk, then the browser goes
  std::string input = frame_of("size:5000000");
  for (int i = 0; i < 6; ++i) input += frame_of(more);
  input += frame_of("never asked");
  const host_run run = run_host(input, options);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "query 12\n");
}

// Peak resident memory, against a host that read one small message: a long body costs what its
// decoded text needs, and a length that promises more than arrives costs nothing. The host's peak
// comes from wait4; Linux starts it from the spawning process's own peak (posix_spawn shares the
// test's memory until exec), so the test lowers its own peak to its current size first and never
// holds a long input whole.
long host_peak_kib(const host_input& input) {
  if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", clear);
    std::fclose(clear);
  }
  const host_run run = run_host(input);
  EXPECT_EQ(run.exit_status, 0);
  return run.peak_rss_kib;
}

TEST(HostMemory, PeakFollowsWhatArrivedNotWhatWasClaimed) {
  if (host_is_instrumented()) GTEST_SKIP() << "memory figures mean nothing under a sanitizer or a tool";
  // In order of what the test itself must hold, the smallest first.
  const long base = host_peak_kib(frame_of("hello"));
  const long claim_cost = host_peak_kib(test::length_bytes(0x7FFF'FFFFu) + "\"QUJD\"" + std::string(1000, 'A')) - base;
  // The room taken on the claim's word is a block of huge pages: the first bytes written into it
  // may bring in one of 2 MiB, and nothing more.
  EXPECT_LE(claim_cost, 2560) << "a claim of 2 GiB cost " << claim_cost << " KiB";

  // 64 MiB of body: quotes around base64 of the letter m, "bW1t" over and over.
  const std::size_t body = 64 << 20;
  std::string block;
  for (int i = 0; i < (1 << 14); ++i) block += "bW1t";
  const long large_cost = host_peak_kib(host_input(test::length_bytes(body) + "\"")
                                            .then(block, (body - 4) / block.size())
                                            .then(block.substr(0, block.size() - 4) + "bW1t\"")
                                            .then(frame_of(close_text))) - base;
  EXPECT_LE(large_cost, 2 * static_cast<long>(body >> 10)) << "a 64 MiB message cost " << large_cost << " KiB";

  // A 64 MiB request in full pieces: the assembly grows with them, and a piece in flight comes on
  // top.
  const std::size_t request = 64 << 20;
  const std::string piece = frame_of(R"({"part":")" + test::base64_of(std::string(CHUNK_SIZE, 'm')) + "\"}");
  const long split_cost =
      host_peak_kib(host_input(frame_of(R"({"part":"true","count":85})"))
                        .then(piece, request / CHUNK_SIZE)
                        .then(frame_of(R"({"last":")" + test::base64_of(std::string(request % CHUNK_SIZE, 'm')) + "\"}"))
                        .then(frame_of(close_text))) - base;
  EXPECT_LE(split_cost, 2 * static_cast<long>(request >> 10) + 4096)
      << "a 64 MiB split request cost " << split_cost << " KiB";
  std::printf("peak RSS: base %ld KiB; 2 GiB claim +%ld KiB; 64 MiB message +%ld KiB; 64 MiB split request +%ld KiB\n",
              base, claim_cost, large_cost, split_cost);
}

}  // namespace
}  // namespace npc
