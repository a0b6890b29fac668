// Speaking the chooser's line protocol (chooser/chooser_protocol.hpp) to the program.
#include "dialogs/chooser_client.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "chooser_protocol.hpp"
#include "core/failure.hpp"
#include "dialogs/chooser_request.hpp"
#include "dialogs/pinentry_process.hpp"

namespace npc::signer {
namespace {

constexpr const char* INSTALL_HINT =
    "reinstall the npcorvane package (the chooser needs GTK 4, libgtk-4-1), or name a chooser "
    "in NPC_CHOOSER";
constexpr int ANSWER_TIMEOUT_MS = (CHOOSER_TIMEOUT_S + 30) * 1000;

// npcorvane-chooser in this library's own folder: where the package installs both.
std::string default_program() {
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&default_program), &self) == 0 || !self.dli_fname) return {};
  std::string path = self.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1) + "npcorvane-chooser";
}

// Lines from the program, each within the protocol's limit.
class line_reader {
 public:
  explicit line_reader(pinentry_process& process) : process_(process) {}
  std::optional<std::string> next(int timeout_ms) {
    for (;;) {
      if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (buffer_.size() >= chooser::LINE_LIMIT) return std::nullopt;
      char chunk[512];
      const std::size_t got = process_.read(chunk, sizeof chunk, timeout_ms);
      if (got == 0) return std::nullopt;
      buffer_.append(chunk, got);
    }
  }

 private:
  pinentry_process& process_;
  std::string buffer_;
};

}  // namespace

std::string run_chooser(const chooser_prompt& shown, const translation& language) {
  const char* named = std::getenv(CHOOSER_VARIABLE);
  const std::string program = named && *named ? std::string(named) : default_program();
  pinentry_process process(program.c_str());
  if (program.empty() || !process.running()) {
    fail(error_code::no_chooser, std::string("the certificate chooser cannot be started: ") + INSTALL_HINT);
  }
  line_reader lines(process);
  const auto greeting = lines.next(ANSWER_TIMEOUT_MS);
  if (!greeting || *greeting != chooser::GREETING) {
    fail(error_code::no_chooser, std::string("the certificate chooser did not answer: ") + INSTALL_HINT);
  }

  const chooser::request request = chooser_request(shown, language);
  if (!process.write(chooser::write_request(request))) {
    fail(error_code::no_chooser, std::string("the certificate chooser ended: ") + INSTALL_HINT);
  }
  const auto line = lines.next(ANSWER_TIMEOUT_MS);
  const chooser::answer answer = line ? chooser::read_answer(*line) : chooser::answer{};
  return chosen_id(shown, answer,
                   std::string("the certificate chooser could not show its window (is there a display?): ") +
                       INSTALL_HINT);
}

}  // namespace npc::signer
