// Texts from requests, certificates and tokens made fit to show in the user's dialogs, where a
// hostile value must not forge a line or make one name read as another.
#pragma once

#include <string>
#include <string_view>

namespace npc::signer {

// `text` as valid UTF-8 on one line: line breaks (C0 and C1 controls, the Unicode line and
// paragraph separators) become spaces; bidirectional and zero-width formatting marks, and bytes
// that are not UTF-8, become "?". Never longer than `text`.
std::string one_line_text(std::string_view text);

}  // namespace npc::signer
