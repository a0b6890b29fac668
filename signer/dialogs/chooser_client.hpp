// The certificate chooser on the Linux desktop: our own program (npcorvane-chooser, GTK 4),
// started as pinentry is, one process per choice, so that the library links no toolkit.
#pragma once

#include <string>

#include "core/backend.hpp"
#include "core/translation.hpp"

namespace npc::signer {

// Names the chooser program to run; npcorvane-chooser beside this library when unset.
inline constexpr const char* CHOOSER_VARIABLE = "NPC_CHOOSER";

// The id the user chose from `shown.entries`, which must be one offered and not expired
// (whatever the program says). Fails with cancelled, or no_chooser when the program cannot be
// started or cannot show its window.
std::string run_chooser(const chooser_prompt& shown, const translation& language);

}  // namespace npc::signer
