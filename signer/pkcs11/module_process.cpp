// The module processes: started by p11-kit's client module, found and watched here, so that one
// that died is noticed at the call it failed, and one that hangs can be ended.
#include "pkcs11/module_process.hpp"

#include <dirent.h>
#include <p11-kit/p11-kit.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

namespace npc::signer {
namespace {

// p11-kit's client module reads where its module is from this variable when it is loaded.
constexpr const char* ADDRESS_VARIABLE = "P11_KIT_SERVER_ADDRESS";

struct module_record {
  std::string path;
  std::string name;
  long process = 0;
  std::optional<std::string> ended;
};

std::mutex records_lock;
std::map<CK_FUNCTION_LIST*, module_record> records;

// p11-kit's remote program: its own copy beside its helpers, else the `p11-kit remote` command.
const std::string& remote_command() {
  static const std::string command = [] {
    for (const char* path : {"/usr/libexec/p11-kit/p11-kit-remote", "/usr/lib/p11-kit/p11-kit-remote"}) {
      if (::access(path, X_OK) == 0) return std::string(path);
    }
    return std::string("p11-kit remote");
  }();
  return command;
}

bool client_installed() { return ::access(NPC_P11KIT_CLIENT, R_OK) == 0; }

// p11-kit splits the command into words itself: a backslash keeps the next character in its word.
std::string quoted(std::string_view word) {
  std::string text;
  for (const char c : word) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("/._-+", c)) text += '\\';
    text += c;
  }
  return text;
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A child of this process that runs p11-kit's remote program with the module at `path`, and that is
// no other module's; 0 when there is none.
long find_child(const std::string& path) {
  const long self = ::getpid();
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  long found = 0;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    const std::string base = std::string("/proc/") + entry->d_name;
    // "pid (name) state parent ...": the name may hold anything, parentheses included.
    const std::string stat = read_whole(base + "/stat");
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) != 2 || parent != self) continue;
    if (stat.compare(open + 1, 7, "p11-kit") != 0) continue;
    // One that already died (its module failed to load, say) has no command line left to match,
    // and must still be found to be reaped. A live one runs the module as its last word.
    if (state != 'Z') {
      const std::string command = read_whole(base + "/cmdline");
      std::string_view words(command);
      if (!words.empty() && words.back() == '\0') words.remove_suffix(1);
      if (words.substr(words.rfind('\0') + 1) != path) continue;
    }
    bool taken = false;
    for (const auto& [module, record] : records) taken = taken || record.process == pid;
    if (!taken) {
      found = pid;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

std::string describe_end(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

// At exit, p11-kit closes each client end and polls for its process every 100 ms, which would add
// that much to the end of every host. Ended here first, they are gone when it looks.
void end_processes() {
  const std::lock_guard hold(records_lock);
  for (const auto& [module, record] : records) {
    if (record.process > 0 && !record.ended) ::kill(static_cast<pid_t>(record.process), SIGTERM);
  }
  for (const auto& [module, record] : records) {
    if (record.process <= 0 || record.ended) continue;
    const auto pid = static_cast<pid_t>(record.process);
    pid_t reaped = 0;
    for (int waited = 0; (reaped = ::waitpid(pid, nullptr, WNOHANG)) == 0 && waited < 1000; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (reaped == 0) {
      ::kill(pid, SIGKILL);  // a stopped one does not take SIGTERM
      ::waitpid(pid, nullptr, 0);
    }
  }
}

}  // namespace

bool modules_out_of_process() {
  const char* in_process = std::getenv(IN_PROCESS_VARIABLE);
  if (in_process && std::string_view(in_process) == "1") return false;
  return client_installed();
}

CK_FUNCTION_LIST* load_remote_module(const std::string& path, const std::string& name) {
  const char* before = std::getenv(ADDRESS_VARIABLE);
  const std::optional<std::string> old = before ? std::optional<std::string>(before) : std::nullopt;
  ::setenv(ADDRESS_VARIABLE, ("|" + remote_command() + " " + quoted(path)).c_str(), 1);
  CK_FUNCTION_LIST* module = p11_kit_module_load(NPC_P11KIT_CLIENT, 0);
  old ? ::setenv(ADDRESS_VARIABLE, old->c_str(), 1) : ::unsetenv(ADDRESS_VARIABLE);
  if (module) {
    static const bool ended_at_exit = std::atexit(end_processes) == 0;
    (void)ended_at_exit;
    const std::lock_guard hold(records_lock);
    records[module] = {path, name, 0, std::nullopt};
  }
  return module;
}

void adopt_process(CK_FUNCTION_LIST* module, const std::string& path) {
  const std::lock_guard hold(records_lock);
  const auto record = records.find(module);
  if (record != records.end()) record->second.process = find_child(path);
}

long unadopted_process(const std::string& path) {
  const std::lock_guard hold(records_lock);
  return find_child(path);
}

long module_process(CK_FUNCTION_LIST* module) {
  const std::lock_guard hold(records_lock);
  const auto record = records.find(module);
  return record == records.end() ? 0 : record->second.process;
}

std::optional<std::string> module_ended(CK_FUNCTION_LIST* module, std::chrono::milliseconds linger) {
  const std::lock_guard hold(records_lock);
  const auto record = records.find(module);
  if (record == records.end() || record->second.process <= 0) return std::nullopt;
  if (record->second.ended) return record->second.ended;
  int status = 0;
  const auto until = std::chrono::steady_clock::now() + linger;
  pid_t reaped;
  while ((reaped = ::waitpid(static_cast<pid_t>(record->second.process), &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (reaped == 0 || (reaped < 0 && errno != ECHILD)) return std::nullopt;
  record->second.ended = reaped > 0 ? describe_end(status) : "ended";
  return record->second.ended;
}

std::string remote_module_name(CK_FUNCTION_LIST* module) {
  const std::lock_guard hold(records_lock);
  const auto record = records.find(module);
  return record == records.end() ? std::string() : record->second.name;
}

void forget_module(CK_FUNCTION_LIST* module) {
  const std::lock_guard hold(records_lock);
  records.erase(module);
}

}  // namespace npc::signer
