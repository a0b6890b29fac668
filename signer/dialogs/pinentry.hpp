// The user's dialogs on the Linux desktop: GnuPG's pinentry programs, spoken to over their Assuan
// protocol on a socket pair. The client is our own (a few commands, percent-escaping and the
// cancel codes) rather than libassuan: the library then links nothing more, and the PIN passes
// through one buffer of ours that is wiped, instead of a library's own allocations.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/secret.hpp"

namespace npc::signer {

// Names the pinentry program to run; /usr/bin/pinentry (the desktop's choice) when unset.
inline constexpr const char* PINENTRY_VARIABLE = "NPC_PINENTRY";

namespace detail {

// `text` as an Assuan argument: '%', CR, LF and other control bytes become %XX.
std::string assuan_escape(std::string_view text);

// Decodes %XX escapes of `text` onto the end of `out`; false when an escape is malformed or the
// result does not fit.
bool assuan_unescape(std::string_view text, secret& out);

}  // namespace detail

// open_prompts() (platform.hpp) gives dialogs through the pinentry program: one process for each
// dialog, ended after its answer.

}  // namespace npc::signer
