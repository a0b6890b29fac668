// A time limit on what a token does for a request: the work runs on a thread of its own, and a
// PKCS#11 call (or a smart-card service) that never returns costs that request alone, answered
// with token_error naming the call. The user's own time in a dialog does not count.
#pragma once

#include <chrono>
#include <functional>

namespace npc::signer {

// How long one PKCS#11 call may take: NPC_TOKEN_DEADLINE seconds (1 to 600) when set, else 15 s,
// enough for a slow reader to read a full card.
std::chrono::milliseconds token_deadline();

// Runs `work` on a worker thread and waits for it. What it throws is thrown here. When the call
// it is in (see pkcs11_call) outlasts the deadline, fails with token_error and leaves the worker
// behind, detached (a module in a process of its own has that process ended): `work` must own,
// or reach only through process-wide state, all it touches.
void run_with_deadline(std::function<void()> work);

// Names the PKCS#11 call the current worker is about to make, and starts its clock. A call into a
// module that runs in a process of its own names that `process`: one that outlasts the deadline
// ends it, which returns the call and frees the worker. Outside run_with_deadline it does nothing.
void pkcs11_call(const char* name, long process = 0);

// As pkcs11_call, for the call that starts a module's process (C_Initialize): `find` names that
// process, to be ended when the call outlasts the deadline.
void pkcs11_call_starting(const char* name, std::function<long()> find);

// Stops the clock while the user answers a dialog, for its lifetime; the next call starts it
// again. Every dialog a worker shows must be under one: it fails (token_error) when the request
// was given up already, whose dialogs may be gone.
class user_wait {
 public:
  user_wait();
  ~user_wait();
  user_wait(const user_wait&) = delete;
  user_wait& operator=(const user_wait&) = delete;
};

// Whether the request this worker runs for has been answered already (its deadline passed): a
// worker that wakes up after that must not go on to ask the user anything.
bool request_abandoned();

}  // namespace npc::signer
