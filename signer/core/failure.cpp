// Names of the error codes as replies carry them.
#include "core/failure.hpp"

namespace npc::signer {

std::string_view error_code_name(error_code code) {
  switch (code) {
    case error_code::bad_json: return "bad_json";
    case error_code::bad_request: return "bad_request";
    case error_code::unknown_operation: return "unknown_operation";
    case error_code::missing_field: return "missing_field";
    case error_code::no_token: return "no_token";
    case error_code::certificate_not_found: return "certificate_not_found";
    case error_code::key_not_found: return "key_not_found";
    case error_code::pin_incorrect: return "pin_incorrect";
    case error_code::pin_locked: return "pin_locked";
    case error_code::pin_in_request: return "pin_in_request";
    case error_code::cancelled: return "cancelled";
    case error_code::no_pin_entry: return "no_pin_entry";
    case error_code::not_for_signing: return "not_for_signing";
    case error_code::not_for_login: return "not_for_login";
    case error_code::no_chooser: return "no_chooser";
    case error_code::unsupported_algorithm: return "unsupported_algorithm";
    case error_code::data_too_large: return "data_too_large";
    case error_code::token_error: return "token_error";
    case error_code::internal_error: return "internal_error";
  }
  return "internal_error";
}

void fail(error_code code, std::string message, std::string field) {
  throw signer_failure(failure_detail{code, std::move(message), std::move(field), -1});
}

}  // namespace npc::signer
