// npcorvane-register-json: the JSON side of npcorvane-register, which calls it.
//   manifest FAMILY NAME PATH [ID...]   a host manifest on standard output
//   read FAMILY FILE                    what a manifest holds, as key=value lines
//   fields KEY...                       string members of the JSON object on standard input
//   chromium-policy ID UPDATE_URL [SITE...]   a Chromium-family managed-policy file
//   firefox-policy FILE ID [INSTALL_URL]      FILE's policies.json with the add-on forced, or
//                                             without it when no URL is given (empty: none left)
//   report                              doctor's check lines (standard input) as one JSON object
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "register_json.hpp"

namespace {

int usage() {
  std::fputs("usage: npcorvane-register-json manifest FAMILY NAME PATH [ID...] | read FAMILY FILE | fields KEY... | "
             "chromium-policy ID UPDATE_URL [SITE...] | firefox-policy FILE ID [INSTALL_URL] | report\n", stderr);
  return 2;
}

int run(const std::vector<std::string>& args) {
  using namespace npc::register_json;
  if (args.empty()) return usage();
  std::string out, error;
  if (args[0] == "manifest" && args.size() >= 4) {
    if (!make_manifest(args[1], args[2], args[3], std::vector<std::string>(args.begin() + 4, args.end()), out, error)) {
      std::fprintf(stderr, "npcorvane-register: %s\n", error.c_str());
      return 1;
    }
  } else if (args[0] == "read" && args.size() == 3) {
    std::ifstream in(args[2], std::ios::binary);
    if (!in) {
      std::puts("error=cannot be read");
      return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const bool ok = read_manifest(text.str(), args[1], out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return ok ? 0 : 1;
  } else if (args[0] == "fields" && args.size() >= 2) {
    const std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    const bool ok = read_fields(text, std::vector<std::string>(args.begin() + 1, args.end()), out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return ok ? 0 : 1;
  } else if (args[0] == "chromium-policy" && args.size() >= 3) {
    if (!make_chromium_policy(args[1], args[2], std::vector<std::string>(args.begin() + 3, args.end()), out, error)) {
      std::fprintf(stderr, "npcorvane-register: %s\n", error.c_str());
      return 1;
    }
  } else if (args[0] == "firefox-policy" && (args.size() == 3 || args.size() == 4)) {
    // A file that exists but cannot be read is an error, never taken for an empty one.
    std::string existing;
    std::error_code missing;
    if (std::filesystem::exists(args[1], missing)) {
      std::ifstream in(args[1], std::ios::binary);
      std::ostringstream text;
      if (!in || !(text << in.rdbuf())) {
        std::fprintf(stderr, "npcorvane-register: %s cannot be read\n", args[1].c_str());
        return 1;
      }
      existing = text.str();
    }
    if (!merge_firefox_policy(existing, args[2], args.size() == 4 ? args[3] : "", out, error)) {
      std::fprintf(stderr, "npcorvane-register: %s %s\n", args[1].c_str(), error.c_str());
      return 1;
    }
  } else if (args[0] == "report" && args.size() == 1) {
    const std::string lines{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    out = make_report(lines);
  } else {
    return usage();
  }
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (...) {
    std::fputs("npcorvane-register: out of memory\n", stderr);
    return 1;
  }
}
