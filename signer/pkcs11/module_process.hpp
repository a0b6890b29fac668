// PKCS#11 modules in processes of their own: p11-kit's remote program runs the module and p11-kit's
// client module speaks to it over a pipe, so that a module that crashes or hangs costs the request
// it met, not the host.
#pragma once

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <optional>
#include <string>

namespace npc::signer {

// Set to 1, modules are loaded into the host's own process, as they were before.
inline constexpr const char* IN_PROCESS_VARIABLE = "NPC_PKCS11_IN_PROCESS";

// Whether modules run in processes of their own: unless NPC_PKCS11_IN_PROCESS is 1, or p11-kit's
// client module or remote program is not installed.
bool modules_out_of_process();

// The client end of a process that will run the module at `path`, known by `name` (p11-kit's for
// a registered module, else the file's); nullptr when p11-kit cannot load it. The process starts in
// C_Initialize: call adopt_process after that, whatever it returned.
CK_FUNCTION_LIST* load_remote_module(const std::string& path, const std::string& name);

// Finds the process the module's C_Initialize started and records it for the module.
void adopt_process(CK_FUNCTION_LIST* module, const std::string& path);

// The process running the module at `path` that no module has adopted yet; 0 when there is none.
long unadopted_process(const std::string& path);

// The process the module runs in; 0 for a module in the host's own process.
long module_process(CK_FUNCTION_LIST* module);

// How the module's process ended ("killed by signal 11"), reaping it; nullopt while it runs or when
// the module has no process of its own. `linger` waits that long for a process that may be ending:
// the client end sees its pipe close a moment before the process can be reaped.
std::optional<std::string> module_ended(CK_FUNCTION_LIST* module,
                                        std::chrono::milliseconds linger = std::chrono::milliseconds(0));

// The name of the module a client end runs; empty for a module in the host's own process.
std::string remote_module_name(CK_FUNCTION_LIST* module);

// Drops what is recorded for the module, once it is finalised.
void forget_module(CK_FUNCTION_LIST* module);

}  // namespace npc::signer
