// The benchmark driver: plays the extension's side against a host over pipes, checks every answer,
// and reports time, throughput, the host's CPU time, peak memory and page faults, side by side
// with the framing-only reference host in the same run; or, with --callgrind, instruction counts.
// The messages, the host's start and the writes are the command-line client's own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench_common.hpp"
#include "client/exchange.hpp"
#include "client/host_process.hpp"
#include "codec/base64.hpp"
#include "protocol/wire.hpp"

namespace {

using namespace npc;
constexpr double mib = 1024.0 * 1024.0;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// The frame carrying `text` as the browser sends it: a JSON string of its base64.
std::string frame_of(std::string_view text) { return client::message_frame(text); }

// The benchmark library's answer, formatted independently of its own formatting.
std::string checksum_reply(std::string_view request) {
  char reply[96];
  std::snprintf(reply, sizeof reply, "{\"length\":%zu,\"checksum\":\"%016" PRIx64 "\"}", request.size(),
                bench::checksum(request.data(), request.size()));
  return reply;
}

// The client starts the host with posix_spawn, not fork: a forked child would carry the driver's
// pages until exec, and the kernel keeps that high-water mark in the child's peak RSS. The library
// folder reaches it through the environment it inherits (see main).
client::host_process spawn(const std::vector<std::string>& command) {
  client::host_process host;
  const client::outcome started =
      client::start_host(command[0], std::vector<std::string>(command.begin() + 1, command.end()), host);
  if (!client::succeeded(started)) fail(started.detail);
  return host;
}

void write_all(int fd, std::string_view bytes) {
  const client::outcome written = client::write_all(fd, bytes.data(), bytes.size());
  if (!client::succeeded(written)) fail(written.detail);
}

// Reads frames; with `keep`, every frame stays in the buffer (reserved and touched beforehand) so
// that the checks can run after the clock has stopped.
struct frame_input {
  int fd = -1;
  std::vector<char> buffer;
  std::size_t begin = 0, end = 0;
  bool keep = false;

  void prepare(std::size_t bytes) {
    buffer.assign(bytes, '\1');  // touched now, not while the clock runs
    begin = end = 0;
  }

  std::string_view next() {
    for (;;) {
      if (end - begin >= 4) {
        const std::uint32_t length = get_length(buffer.data() + begin);
        if (end - begin - 4 >= length) {
          const std::string_view body(buffer.data() + begin + 4, length);
          begin += 4 + length;
          if (!keep && begin == end) begin = end = 0;
          return body;
        }
        if (buffer.size() < begin + 4 + length) {
          if (keep) fail("more output than expected");
          if (begin != 0) {
            std::memmove(buffer.data(), buffer.data() + begin, end - begin);
            end -= begin;
            begin = 0;
          }
          if (buffer.size() < 4 + length) buffer.resize(4 + length);
        }
      }
      if (end == buffer.size()) {
        if (keep) fail("more output than expected");
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, 1 << 16));
      }
      const ssize_t got = ::read(fd, buffer.data() + end, buffer.size() - end);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) fail("the host ended its output mid-conversation");
      end += static_cast<std::size_t>(got);
    }
  }
};

struct measurement {
  double seconds = 0;      // from the scenario's first byte written to its last reply read
  double cpu_seconds = 0;  // the host's user and system time over its whole life
  double peak_rss_mib = 0;
  long faults = 0;         // minor and major page faults
  std::uint64_t instructions = 0;  // with callgrind only
};

// One scenario: what it sends, what it expects back. `reference` relaxes the content checks to the
// forms and sizes, since the reference's replies are canned.
struct scenario {
  std::string name;
  std::size_t size = 0;  // payload bytes, or round trips for pingpong
  std::vector<std::string> frames;       // the requests, made before the clock starts
  std::vector<std::string> expected;     // pingpong and requests: the reply to each exchange
  std::string reply;                     // bigreply: the reply the library makes

  double payload_mib() const { return name == "pingpong" ? 0 : static_cast<double>(size) / mib; }
};

scenario make_scenario(const std::string& name, std::size_t size) {
  scenario s;
  s.name = name;
  s.size = size;
  if (name == "pingpong") {
    for (std::size_t i = 0; i < size; ++i) {
      const std::string query = "ping " + std::to_string(i);
      s.frames.push_back(frame_of(query));
      s.expected.push_back(checksum_reply(query));
    }
  } else if (name == "bigreply") {
    s.frames.push_back(frame_of(bench::REPLY_PREFIX + std::to_string(size)));
    const std::size_t chunks = size > DIRECT_REPLY_LIMIT ? size / CHUNK_SIZE : 0;
    for (std::size_t i = 0; i < chunks; ++i) s.frames.push_back(frame_of(client::MORE_TEXT));
    s.reply.resize(size);
    bench::fill_reply(s.reply.data(), size);
  } else if (name == "bigrequest" || name == "splitrequest") {
    std::string request(size, '\0');
    bench::fill_reply(request.data(), size);
    s.expected.push_back(checksum_reply(request));
    if (name == "bigrequest") {
      s.frames.push_back(frame_of(request));
    } else {
      const std::string_view bytes(request);
      const client::split_plan plan = client::plan_split(size, CHUNK_SIZE);
      s.frames.push_back(frame_of(client::start_message(plan.count)));
      for (std::size_t i = 0; i < plan.count; ++i)
        s.frames.push_back(frame_of(client::piece_message("part", bytes.substr(i * CHUNK_SIZE, CHUNK_SIZE))));
      s.frames.push_back(frame_of(client::piece_message("last", bytes.substr(plan.count * CHUNK_SIZE))));
    }
  } else {
    fail("unknown scenario '" + name + "'");
  }
  return s;
}

bool looks_like_answer(std::string_view reply) {
  return reply.starts_with(R"({"length":)") && reply.ends_with("\"}");
}

void check_answer(const scenario& s, std::string_view reply, std::string_view expected, bool reference) {
  if (reference ? !looks_like_answer(reply) : reply != expected)
    fail(s.name + ": wrong answer '" + std::string(reply.substr(0, 80)) + "', expected '" +
         std::string(expected) + "'");
}

// Checks the chunks of a long reply, kept whole in `in`, after the clock has stopped.
void check_chunks(const scenario& s, const frame_input& in, bool reference) {
  std::string content;
  content.reserve(s.size);
  std::size_t at = 0, count = 0;
  bool ended = false;
  while (at < in.end) {
    if (ended) fail("bigreply: frames after the last chunk");
    const std::uint32_t length = get_length(in.buffer.data() + at);
    const std::string_view body(in.buffer.data() + at + 4, length);
    at += 4 + length;
    ++count;
    if (s.size <= DIRECT_REPLY_LIMIT) {
      content.assign(body);
      ended = true;
      continue;
    }
    const client::chunk_view chunk = client::parse_chunk(body);
    if (chunk.kind == client::chunk_kind::not_chunk)
      fail("bigreply: chunk " + std::to_string(count) + " is not of the chunk form with canonical base64");
    const bool part = chunk.kind == client::chunk_kind::part;
    if (part && length != DIRECT_REPLY_LIMIT) fail("bigreply: a part chunk not of 1,048,576 bytes");
    content += base64_decode_string(chunk.base64);
    ended = !part;
  }
  if (!ended) fail("bigreply: no last chunk");
  if (content.size() != s.size) fail("bigreply: reassembled " + std::to_string(content.size()) + " bytes");
  if (!reference && bench::checksum(content.data(), content.size()) != bench::checksum(s.reply.data(), s.reply.size()))
    fail("bigreply: the reassembled reply differs from the library's");
}

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// The process's peak resident memory so far, in MiB.
double peak_rss_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  fail("no VmHWM for the host");
}

// Runs the scenario once against `command`; throws when anything is amiss.
measurement run_once(const scenario& s, const std::vector<std::string>& command, bool reference) {
  client::host_process host = spawn(command);
  frame_input in;
  in.fd = host.from_host;

  // One small exchange first, so loading and start-up stay outside the clock; for a long reply it
  // also has the library make the reply, which is the library's work, not the host's.
  const std::string warm = s.name == "bigreply" ? bench::PREPARE_PREFIX + std::to_string(s.size) : "warm up";
  write_all(host.to_host, frame_of(warm));
  check_answer(s, in.next(), checksum_reply(warm), reference);

  if (s.name == "bigreply") {
    const std::size_t chunks = s.size > DIRECT_REPLY_LIMIT ? s.size / CHUNK_SIZE + 1 : 1;
    in.prepare(chunks * (DIRECT_REPLY_LIMIT + 4));
    in.keep = true;
  }

  const auto start = std::chrono::steady_clock::now();
  if (s.name == "pingpong") {
    for (std::size_t i = 0; i < s.frames.size(); ++i) {
      write_all(host.to_host, s.frames[i]);
      check_answer(s, in.next(), s.expected[i], reference);
    }
  } else if (s.name == "bigreply") {
    for (const auto& frame : s.frames) {
      write_all(host.to_host, frame);
      in.next();
    }
  } else if (s.name == "bigrequest") {
    write_all(host.to_host, s.frames[0]);
    check_answer(s, in.next(), s.expected[0], reference);
  } else {
    for (std::size_t i = 0; i + 1 < s.frames.size(); ++i) {
      write_all(host.to_host, s.frames[i]);
      if (in.next() != MORE_ACK) fail("splitrequest: message " + std::to_string(i) + " not acknowledged");
    }
    write_all(host.to_host, s.frames.back());
    check_answer(s, in.next(), s.expected[0], reference);
  }
  const auto stop = std::chrono::steady_clock::now();
  if (s.name == "bigreply") check_chunks(s, in, reference);
  // Read before the close: the kernel's own peak in rusage would count the driver's pages, which a
  // spawned child shares until it executes the host.
  const double peak_rss_mib = peak_rss_of(host.pid);

  write_all(host.to_host, frame_of(CLOSE_TEXT));
  ::close(host.to_host);
  int status = 0;
  rusage usage{};
  if (::wait4(host.pid, &status, 0, &usage) != host.pid) fail("wait4");
  ::close(host.from_host);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(command[0] + " did not exit with status 0");

  measurement m;
  m.seconds = std::chrono::duration<double>(stop - start).count();
  m.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  m.peak_rss_mib = peak_rss_mib;
  m.faults = usage.ru_minflt + usage.ru_majflt;
  return m;
}

// Instructions the command executes over the scenario, counted by callgrind, start-up included.
// Instructions counted by callgrind over one run, start-up included: the whole process, and the
// part spent inside the signing library's two entry points (their inclusive cost at every call).
struct instruction_count {
  std::uint64_t total = 0;
  std::uint64_t library = 0;
};

// With `keep_dir`, callgrind's profile is kept there for callgrind_annotate.
instruction_count count_instructions(const scenario& s, const std::vector<std::string>& command,
                                     bool reference, const std::string& keep_dir) {
  std::string path = "/tmp/npc-bench-callgrind-XXXXXX";
  if (keep_dir.empty()) {
    const int fd = ::mkstemp(path.data());
    if (fd < 0) fail("mkstemp");
    ::close(fd);
  } else {
    path = keep_dir + "/callgrind." + s.name + "." + std::to_string(s.size) + "." + (reference ? "reference" : "host");
  }
  std::vector<std::string> wrapped = {"valgrind", "--tool=callgrind", "-q", "--compress-strings=no",
                                      "--callgrind-out-file=" + path};
  wrapped.insert(wrapped.end(), command.begin(), command.end());
  run_once(s, wrapped, reference);
  std::ifstream file(path);
  std::string line;
  instruction_count count;
  bool library_call = false;  // the last cfn= named an entry point
  bool cost_follows = false;  // the line after calls= holds the call's inclusive cost
  while (std::getline(file, line)) {
    if (cost_follows) {
      if (library_call) count.library += std::strtoull(line.c_str() + line.rfind(' ') + 1, nullptr, 10);
      cost_follows = false;
    } else if (line.starts_with("cfn=")) {
      library_call = line.ends_with("addon_process_query") || line.ends_with("addon_free");
    } else if (line.starts_with("calls=")) {
      cost_follows = true;
    } else if (line.starts_with("totals:") || line.starts_with("summary:")) {
      count.total = std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
  }
  if (keep_dir.empty()) ::unlink(path.c_str());
  if (count.total == 0) fail("no totals in callgrind's output");
  return count;
}

struct spread {
  double median = 0, low = 0, high = 0;
};
spread spread_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

struct options {
  std::string host = NPC_BENCH_HOST;
  std::string reference = NPC_BENCH_REFERENCE;
  std::string library_dir = NPC_BENCH_LIBRARY_DIR;
  int repetitions = 5;
  bool with_reference = true;
  std::size_t callgrind_second = 0;  // with --callgrind: the second size, the first being SIZE
  std::string tsv;
  std::string keep_dir;
  std::string name;
  double size = 0;
};

std::size_t units_of(const std::string& name, double size) {
  return name == "pingpong" ? static_cast<std::size_t>(size) : static_cast<std::size_t>(size * mib);
}

void usage() {
  std::fprintf(stderr,
               "usage: npc_bench [options] SCENARIO SIZE\n"
               "  SCENARIO: pingpong (SIZE round trips) | bigreply | bigrequest | splitrequest (SIZE MiB)\n"
               "  --host PATH        the host to measure (default %s)\n"
               "  --reference PATH   the framing-only reference (default %s)\n"
               "  --lib DIR          where libnpcorvane.so is found (default %s)\n"
               "  --reps N           repetitions, host and reference interleaved (default 5)\n"
               "  --no-reference     measure the host alone\n"
               "  --callgrind SIZE2  count instructions at SIZE and SIZE2 and report their\n"
               "                     difference per byte (per round trip for pingpong)\n"
               "  --keep-profiles DIR  keep callgrind's profiles in DIR\n"
               "  --tsv FILE         append the figures to FILE as tab-separated lines\n",
               NPC_BENCH_HOST, NPC_BENCH_REFERENCE, NPC_BENCH_LIBRARY_DIR);
}

options parse(int argc, char** argv) {
  options o;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(word + " needs a value");
      return argv[++i];
    };
    if (word == "--host") o.host = value();
    else if (word == "--reference") o.reference = value();
    else if (word == "--lib") o.library_dir = value();
    else if (word == "--reps") o.repetitions = std::max(1, std::atoi(value().c_str()));
    else if (word == "--no-reference") o.with_reference = false;
    else if (word == "--callgrind") o.callgrind_second = std::strtoull(value().c_str(), nullptr, 10);
    else if (word == "--tsv") o.tsv = value();
    else if (word == "--keep-profiles") o.keep_dir = value();
    else if (word == "-h" || word == "--help") usage(), std::exit(0);
    else rest.push_back(word);
  }
  if (rest.size() != 2) usage(), std::exit(2);
  o.name = rest[0];
  o.size = std::strtod(rest[1].c_str(), nullptr);
  return o;
}

void append_tsv(const options& o, const std::string& line) {
  if (o.tsv.empty()) return;
  std::FILE* file = std::fopen(o.tsv.c_str(), "a");
  if (file == nullptr) fail("cannot open " + o.tsv);
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}

int instructions(const options& o) {
  const scenario small = make_scenario(o.name, units_of(o.name, o.size));
  const scenario large = make_scenario(o.name, units_of(o.name, static_cast<double>(o.callgrind_second)));
  const double units = static_cast<double>(large.size) - static_cast<double>(small.size);
  const char* unit = o.name == "pingpong" ? "round trip" : "byte";
  std::vector<std::pair<std::string, std::string>> sides = {{"host", o.host}};
  if (o.with_reference) sides.emplace_back("reference", o.reference);
  for (const auto& [side, path] : sides) {
    const bool reference = side == "reference";
    const instruction_count a = count_instructions(small, {path}, reference, o.keep_dir);
    const instruction_count b = count_instructions(large, {path}, reference, o.keep_dir);
    const double total = (static_cast<double>(b.total) - static_cast<double>(a.total)) / units;
    const double library = (static_cast<double>(b.library) - static_cast<double>(a.library)) / units;
    std::printf("%-12s %-9s instructions per %s: %.2f, %.2f of them outside the library  (%" PRIu64 " at %g, %" PRIu64
                " at %zu)\n",
                o.name.c_str(), side.c_str(), unit, total, total - library, a.total, o.size, b.total,
                o.callgrind_second);
    char line[256];
    std::snprintf(line, sizeof line, "instructions\t%s\t%s\t%.3f\t%.3f", o.name.c_str(), side.c_str(), total,
                  total - library);
    append_tsv(o, line);
  }
  return 0;
}

int timings(const options& o) {
  const scenario s = make_scenario(o.name, units_of(o.name, o.size));
  std::vector<measurement> host_runs, reference_runs;
  for (int rep = 0; rep < o.repetitions; ++rep) {
    // Alternating which goes first spreads any drift in the machine's load over both.
    if (o.with_reference && rep % 2 == 1) reference_runs.push_back(run_once(s, {o.reference}, true));
    host_runs.push_back(run_once(s, {o.host}, false));
    if (o.with_reference && rep % 2 == 0) reference_runs.push_back(run_once(s, {o.reference}, true));
  }

  const bool pingpong = s.name == "pingpong";
  auto rate = [&](const measurement& m) {
    // Round trips take microseconds each; bulk payloads are rated in MiB/s.
    return pingpong ? m.seconds / static_cast<double>(s.size) * 1e6 : s.payload_mib() / m.seconds;
  };
  const char* rate_unit = pingpong ? "us/round trip" : "MiB/s";
  auto report = [&](const char* side, const std::vector<measurement>& runs) {
    std::vector<double> rates, cpu, rss, faults;
    for (const auto& m : runs) {
      rates.push_back(rate(m));
      cpu.push_back(m.cpu_seconds * 1e3);
      rss.push_back(m.peak_rss_mib);
      faults.push_back(static_cast<double>(m.faults));
    }
    const spread r = spread_of(rates), c = spread_of(cpu), p = spread_of(rss), f = spread_of(faults);
    std::printf("%-12s %-9s %10.1f %s [%.1f-%.1f]  cpu %.1f ms  peak rss %.1f MiB  faults %.0f\n", s.name.c_str(),
                side, r.median, rate_unit, r.low, r.high, c.median, p.median, f.median);
    char line[512];
    std::snprintf(line, sizeof line, "timing\t%s\t%g\t%s\t%.3f\t%.3f\t%.3f\t%.2f\t%.2f\t%.0f", s.name.c_str(), o.size,
                  side, r.median, r.low, r.high, c.median, p.median, f.median);
    append_tsv(o, line);
  };
  report("host", host_runs);
  if (!o.with_reference) return 0;
  report("reference", reference_runs);

  // The ratio of each interleaved pair: host throughput over the reference's, or for pingpong
  // the host's round trip over the reference's.
  std::vector<double> ratios;
  for (std::size_t i = 0; i < host_runs.size(); ++i)
    ratios.push_back(pingpong ? host_runs[i].seconds / reference_runs[i].seconds
                              : reference_runs[i].seconds / host_runs[i].seconds);
  const spread r = spread_of(ratios);
  std::printf("%-12s ratio     %10.2fx [%.2f-%.2f] %s\n", s.name.c_str(), r.median, r.low, r.high,
              pingpong ? "(round trip, host over reference)" : "(throughput, host over reference)");
  char line[256];
  std::snprintf(line, sizeof line, "ratio\t%s\t%g\t%.3f\t%.3f\t%.3f", s.name.c_str(), o.size, r.median, r.low, r.high);
  append_tsv(o, line);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const options o = parse(argc, argv);
    // Every host started from here finds the benchmark library first.
    if (::setenv("LD_LIBRARY_PATH", o.library_dir.c_str(), 1) != 0) fail("setenv");
    return o.callgrind_second != 0 ? instructions(o) : timings(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "npc_bench: %s\n", e.what());
    return 1;
  }
}
