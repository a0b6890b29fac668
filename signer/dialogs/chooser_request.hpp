// What a chooser program is sent and how its answer is taken, the same on every platform: our
// chooser on Linux, and the stand-in that NPC_CHOOSER names on Windows.
#pragma once

#include <string>

#include "chooser_protocol.hpp"
#include "core/backend.hpp"
#include "core/translation.hpp"

namespace npc::signer {

// Names the chooser program to run in place of the platform's own.
inline constexpr const char* CHOOSER_VARIABLE = "NPC_CHOOSER";

// The chooser closes itself unanswered after this long; a program silent for longer has hung.
inline constexpr int CHOOSER_TIMEOUT_S = 300;

// The request that shows `shown`, in `language`.
chooser::request chooser_request(const chooser_prompt& shown, const translation& language);

// The id `answer` chose from `shown.entries`, which must be one offered and not expired
// (whatever the program says). Fails with cancelled, or no_chooser with `unavailable` when the
// program could not show its window.
std::string chosen_id(const chooser_prompt& shown, const chooser::answer& answer, const std::string& unavailable);

}  // namespace npc::signer
