// The signing library's failures: stable codes that go out in error replies, and the exception
// that carries one from deep inside a request up to the reply.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace npc::signer {

// Codes never change meaning once published: the extension decides what to show by them.
enum class error_code {
  bad_json,               // the request is not JSON text
  bad_request,            // JSON, but not an object, or a field of the wrong type or value
  unknown_operation,      // "operation" names nothing this library does
  missing_field,          // a required field is absent
  no_token,               // no initialised token in any PKCS#11 module
  certificate_not_found,  // no token holds the certificate named
  key_not_found,          // the certificate's token holds no private key beside it
  pin_incorrect,          // the token refused the PIN
  pin_locked,             // the token's PIN is blocked
  pin_in_request,         // a request carried a PIN, which only the user's dialog may give
  cancelled,              // the user cancelled or refused a dialog
  no_pin_entry,           // no dialog can be shown to ask the user (no pinentry, no display)
  not_for_signing,        // the certificate's key usage allows no signatures, or it is for logins
  not_for_login,          // the certificate's extended key usage does not list clientAuth
  no_chooser,             // the certificate chooser cannot be shown
  unsupported_algorithm,  // hash, padding or key type this library cannot sign with
  data_too_large,         // data beyond MAX_DATA_SIZE bytes
  token_error,            // any other failure of the token or its module
  internal_error,         // a fault of this library (out of memory, a bug)
};

// The code as it is written in replies ("pin_incorrect").
std::string_view error_code_name(error_code code);

// What an error reply says. tries_left is -1 when the token does not tell.
struct failure_detail {
  error_code code = error_code::internal_error;
  std::string message;
  std::string field;    // the field at fault, for missing_field and bad_request
  int tries_left = -1;  // PIN attempts left, when the token says
};

// Thrown inside a request and turned into its error reply; never leaves the library.
class signer_failure : public std::exception {
 public:
  explicit signer_failure(failure_detail detail) : detail_(std::move(detail)) {}
  const failure_detail& detail() const noexcept { return detail_; }
  const char* what() const noexcept override { return detail_.message.c_str(); }

 private:
  failure_detail detail_;
};

[[noreturn]] void fail(error_code code, std::string message, std::string field = {});

}  // namespace npc::signer
