// A scripted stand-in for the certificate chooser (NPC_CHOOSER): reads the request, appends its
// heading and each offered item (name, then "|" and the note that keeps it from being chosen),
// without the marks that isolate shown values, to the file NPC_CHOOSER_LOG names, and answers as
// NPC_CHOOSER_PICK says: the item of that name (chosen whatever its note), CANCELLED when unset or
// "cancel", never when "hang", else CHOSEN with the text itself as a key nobody offered.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "chooser_protocol.hpp"

namespace {

// The value as typed: U+2068 and U+2069, which keep a shown value's direction to itself, taken out.
std::string plain(std::string text) {
  for (const char* mark : {"\xe2\x81\xa8", "\xe2\x81\xa9"}) {
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.erase(at, 3);
  }
  return text;
}

}  // namespace

// Shown names come wrapped in Unicode isolates (U+2068 ... U+2069); the script names them bare.
std::string bare(std::string text) {
  for (const char* mark : {"\xE2\x81\xA8", "\xE2\x81\xA9"}) {
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.erase(at, 3);
  }
  return text;
}

int main() {
  namespace chooser = npc::chooser;
  std::printf("%s\n", std::string(chooser::GREETING).c_str());
  std::fflush(stdout);
  chooser::request_reader reader;
  std::string line;
  while (!reader.complete() && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!reader.feed(line)) {
      std::printf("ERR %s\n", chooser::escape(reader.error()).c_str());
      return 1;
    }
  }
  if (!reader.complete()) return 1;
  const chooser::request& shown = reader.result();
  if (const char* log = std::getenv("NPC_CHOOSER_LOG")) {
    if (std::FILE* out = std::fopen(log, "ab")) {
      std::fprintf(out, "%s\n", plain(shown.heading).c_str());
      for (const chooser::item& item : shown.items) std::fprintf(out, "%s|%s\n", plain(item.name).c_str(), item.note.c_str());
      std::fprintf(out, "--\n");
      std::fclose(out);
    }
  }
  const std::string pick = std::getenv("NPC_CHOOSER_PICK") ? std::getenv("NPC_CHOOSER_PICK") : "";
  if (pick == "hang") Sleep(INFINITE);
  std::string answer = pick.empty() || pick == "cancel" ? "CANCELLED" : "CHOSEN " + chooser::escape(pick);
  for (const chooser::item& item : shown.items) {
    if (plain(item.name) == pick) answer = "CHOSEN " + chooser::escape(item.key);
  }
  std::printf("%s\n", answer.c_str());
  return 0;
}
