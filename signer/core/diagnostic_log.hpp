// The opt-in diagnostic log: when the user names a file (NPC_LOG, or on Windows the registry
// value HKEY_CURRENT_USER\Software\npcorvane\Log), each request appends one line to it: its
// operation, its outcome, and every call into a token module with the module, the slot, the
// result and the time taken. It holds names, numbers and codes only, never a PIN, data, a
// challenge, a signature or any text of the request, so that a user can send it with a support
// request as it is.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace npc::signer::diagnostic_log {

// The record of the request being answered, from construction to destruction, when the log is
// on; does nothing when it is off. Calls from any thread of the process count for it (the
// host asks one request at a time); a second record made while one is open does nothing.
class request_record {
 public:
  request_record();
  ~request_record();  // appends the line
  request_record(const request_record&) = delete;
  request_record& operator=(const request_record&) = delete;

  // The operation, once known: one of the library's own names, never the request's text.
  void operation(std::string_view name);
  // "ok", or the error code of the reply.
  void outcome(std::string_view code);

 private:
  bool mine_ = false;
};

// Whether a request is being recorded: callers skip the work of naming what they note when it is
// not.
bool recording();

// Notes one call of the request: `module` (a name from the system's configuration), the slot
// when the call has one, the function, its result as the module's return value, and its time.
void note_call(std::string_view module, std::optional<unsigned long> slot, std::string_view function,
               unsigned long result, std::chrono::steady_clock::duration took);

namespace detail {
// The file the log goes to, empty when it is off: read for every request, so switching it on
// needs no restart of the browser. Per platform.
std::string log_path();
// The time as ISO 8601 in UTC, to the second.
std::string utc_time(std::time_t time);
// Appends `line` to the file at `path` in one write, creating it readable by the user alone.
void append_line(const std::string& path, const std::string& line);
// Keeps what goes into a line to letters, digits and a few marks, so that a module name from a
// configuration file cannot forge a line or a field.
std::string plain(std::string_view text);
}  // namespace detail

}  // namespace npc::signer::diagnostic_log
