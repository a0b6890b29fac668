// The chooser's request and answer, shared by the platforms' dialog layers.
#include "dialogs/chooser_request.hpp"

#include <algorithm>

#include "core/dialog_content.hpp"
#include "core/failure.hpp"

namespace npc::signer {

chooser::request chooser_request(const chooser_prompt& shown, const translation& language) {
  const chooser_content text = chooser_for(shown, language);
  chooser::request request;
  request.title = text.title;
  request.heading = text.heading;
  request.label = {text.choose, text.cancel, text.list, text.issuer, text.valid_until, text.token, text.empty};
  request.timeout_s = CHOOSER_TIMEOUT_S;
  for (const chooser_entry& entry : shown.entries) {
    const chooser_entry safe = shown_entry(entry);
    request.items.push_back({entry.id, safe.common_name, safe.issuer, safe.not_after, safe.token_label,
                             entry.expired ? text.expired : std::string()});
  }
  return request;
}

std::string chosen_id(const chooser_prompt& shown, const chooser::answer& answer, const std::string& unavailable) {
  switch (answer.what) {
    case chooser::answer::kind::cancelled:
      fail(error_code::cancelled, "the user chose no certificate");
    case chooser::answer::kind::failed:
      fail(error_code::no_chooser, unavailable);
    case chooser::answer::kind::chosen:
      break;
  }
  // The program is trusted to show, not to decide: only an offered certificate that can be
  // chosen is taken.
  const auto chosen = std::find_if(shown.entries.begin(), shown.entries.end(),
                                   [&](const chooser_entry& e) { return e.id == answer.text; });
  if (chosen == shown.entries.end() || chosen->expired) {
    fail(error_code::cancelled, "the chooser named a certificate it was not offered");
  }
  return chosen->id;
}

}  // namespace npc::signer
