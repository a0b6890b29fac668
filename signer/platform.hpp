// The backend and the dialogs this library is built with: the PKCS#11 backend and pinentry on
// Linux, the certificate store and message boxes on Windows. Only the entry points use these;
// the request handling is handed them, so that tests and fuzzing can hand it fakes.
#pragma once

#include <memory>

#include "core/backend.hpp"

namespace npc::signer {

std::unique_ptr<backend> open_backend();
// Dialogs in `language` (a BCP 47 tag; empty: the user's own), through choose_translation().
std::unique_ptr<user_prompts> open_prompts(std::string_view language);

}  // namespace npc::signer
