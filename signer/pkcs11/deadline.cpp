// The worker thread and its clock. The waiting side and the worker share one state, held by both
// through a shared_ptr, so that a worker left behind never reaches freed memory of the request.
#include "pkcs11/deadline.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/failure.hpp"

namespace npc::signer {
namespace {

struct worker_state {
  std::mutex mutex;
  std::condition_variable changed;
  const char* call = "C_Initialize";  // what the worker is in; a string literal
  long process = 0;                   // the module process the call runs in, if any
  std::function<long()> find_process;  // or how to find it, while the call starts it
  std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
  bool waiting_for_user = false;
  bool done = false;
  bool abandoned = false;
  std::exception_ptr thrown;
};

thread_local std::shared_ptr<worker_state> current;

}  // namespace

std::chrono::milliseconds token_deadline() {
  static const std::chrono::milliseconds deadline = [] {
    const char* text = std::getenv("NPC_TOKEN_DEADLINE");
    int seconds = 0;
    if (text) {
      const std::string_view value(text);
      const auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (status != std::errc{} || end != value.data() + value.size() || seconds < 1 || seconds > 600) {
        seconds = 0;
      }
    }
    return std::chrono::milliseconds(1000 * (seconds ? seconds : 15));
  }();
  return deadline;
}

void run_with_deadline(std::function<void()> work) {
  auto state = std::make_shared<worker_state>();
  std::thread([state, work = std::move(work)] {
    // A module process that died makes its pipe refuse writes: that must fail the call, not raise
    // SIGPIPE in a program that did not ignore it.
    sigset_t pipe;
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    current = state;
    std::exception_ptr thrown;
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
    const std::lock_guard lock(state->mutex);
    state->thrown = thrown;
    state->done = true;
    state->changed.notify_all();
  }).detach();

  const auto deadline = token_deadline();
  std::unique_lock lock(state->mutex);
  for (;;) {
    if (state->done) break;
    if (state->waiting_for_user) {
      state->changed.wait(lock);
      continue;
    }
    const auto until = state->since + deadline;
    if (state->changed.wait_until(lock, until) == std::cv_status::timeout && !state->done &&
        !state->waiting_for_user && state->since + deadline <= std::chrono::steady_clock::now()) {
      state->abandoned = true;
      const std::string call = state->call;
      long process = state->process;
      const auto find = state->find_process;
      lock.unlock();
      if (process <= 0 && find) process = find();
      // Ending the module's process returns the call; the module is started afresh when next needed.
      if (process > 0 && ::kill(static_cast<pid_t>(process), SIGKILL) == 0) {
        ::waitpid(static_cast<pid_t>(process), nullptr, 0);  // gone before the next request looks
      }
      fail(error_code::token_error, call + " did not return within " +
                                        std::to_string(deadline.count() / 1000) +
                                        " s: the token, its module or the smart-card service hangs" +
                                        (process > 0 ? " (the module's process was ended)" : ""));
    }
  }
  if (state->thrown) std::rethrow_exception(state->thrown);
}

namespace {

// Starts the clock on the current worker's next call. A call names the process it runs in, or how
// to find it while the call starts it; never a way left over from a call before.
void begin_call(const char* name, long process, std::function<long()> find) {
  if (!current) return;
  const std::lock_guard lock(current->mutex);
  current->call = name;
  current->process = process;
  current->find_process = std::move(find);
  current->since = std::chrono::steady_clock::now();
  current->changed.notify_all();
}

}  // namespace

void pkcs11_call_starting(const char* name, std::function<long()> find) { begin_call(name, 0, std::move(find)); }

void pkcs11_call(const char* name, long process) { begin_call(name, process, nullptr); }

user_wait::user_wait() {
  if (!current) return;
  const std::lock_guard lock(current->mutex);
  // Checked and set in one step: the waiting side never gives up while the user is asked, so
  // the dialogs (owned by the request) are reached only while the request still waits.
  if (current->abandoned) fail(error_code::token_error, "the request was answered already");
  current->waiting_for_user = true;
  current->changed.notify_all();
}

user_wait::~user_wait() {
  if (!current) return;
  const std::lock_guard lock(current->mutex);
  current->waiting_for_user = false;
  current->since = std::chrono::steady_clock::now();
  current->changed.notify_all();
}

bool request_abandoned() {
  if (!current) return false;
  const std::lock_guard lock(current->mutex);
  return current->abandoned;
}

}  // namespace npc::signer
