// The certificate chooser on the Linux desktop: our own program (npcorvane-chooser, GTK 4),
// started as pinentry is, one process per choice, so that the library links no toolkit.
#pragma once

#include <string>

#include "core/backend.hpp"
#include "core/translation.hpp"

namespace npc::signer {

// The id the user chose in NPC_CHOOSER's program, or in npcorvane-chooser beside this library,
// from `shown.entries` (see chosen_id). Fails with cancelled, or no_chooser when the program
// cannot be started or cannot show its window.
std::string run_chooser(const chooser_prompt& shown, const translation& language);

}  // namespace npc::signer
