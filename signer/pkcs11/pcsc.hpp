// The smart-card service (pcscd) as the library sees it beside the PKCS#11 modules: whether it
// runs, and resetting a card so that no login on it outlives the request that made it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace npc::signer {

enum class pcsc_service {
  absent,       // no PC/SC library on the machine: smart cards are not in use here
  not_running,  // the library is there, the service does not answer
  running,
};

// Asks the service for a context, within a few seconds (a stopped service never answers).
pcsc_service pcsc_service_state();

// Resets the card in the reader that a PKCS#11 slot describes (CK_SLOT_INFO's slotDescription,
// space-padded, as OpenSC fills it with the reader's name). A reset ends every verified state on
// the card, for every program that has it open; they see the reset and reconnect. Returns false
// when no reader has that name (the slot is not a PC/SC reader's) or the service does not answer.
bool pcsc_reset_card(std::string_view slot_description);

namespace detail {

// The reader among `readers` that a slot's description names: the same name, or one that begins
// with it when the description was cut at its 64 bytes. Empty when none does.
std::string reader_for_slot(const std::vector<std::string>& readers, std::string_view slot_description);

}  // namespace detail
}  // namespace npc::signer
