// Digests and signature checks through CNG; certificate details from CryptoAPI's decoded
// structures, written out the way the Linux library writes them.
#include "windows/cng.hpp"

#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "windows/der.hpp"

namespace npc::signer::win {
namespace {

struct local_free {
  void operator()(void* memory) const { LocalFree(memory); }
};
struct certificate_free {
  void operator()(const CERT_CONTEXT* context) const { CertFreeCertificateContext(context); }
};
using certificate_ptr = std::unique_ptr<const CERT_CONTEXT, certificate_free>;

class algorithm_handle {
 public:
  explicit algorithm_handle(const wchar_t* name) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
  }
  ~algorithm_handle() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  algorithm_handle(const algorithm_handle&) = delete;
  algorithm_handle& operator=(const algorithm_handle&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

struct hash_destroy {
  void operator()(void* hash) const { BCryptDestroyHash(hash); }
};
struct key_destroy {
  void operator()(void* key) const { BCryptDestroyKey(key); }
};

certificate_ptr certificate_of(std::string_view der) {
  return certificate_ptr(CertCreateCertificateContext(
      X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
}

// A decoded name value: UTF-16 whose byte count may take in the terminating NUL (Wine's does).
std::string utf8_value(const CERT_RDN_VALUE_BLOB& value) {
  const auto text = reinterpret_cast<const wchar_t*>(value.pbData);
  return utf8_of(text, wcsnlen(text, value.cbData / sizeof(wchar_t)));
}

std::string_view bytes_of(const BYTE* data, DWORD size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The short names OpenSSL gives attribute types, which the Linux library's names use.
const char* attribute_name(std::string_view oid) {
  static constexpr std::pair<std::string_view, const char*> NAMES[] = {
      {"2.5.4.3", "CN"}, {"2.5.4.6", "C"}, {"2.5.4.7", "L"}, {"2.5.4.8", "ST"},
      {"2.5.4.10", "O"}, {"2.5.4.11", "OU"}, {"2.5.4.9", "street"}, {"2.5.4.5", "serialNumber"},
      {"2.5.4.4", "SN"}, {"2.5.4.42", "GN"}, {"2.5.4.12", "title"}, {"2.5.4.43", "initials"},
      {"2.5.4.44", "generationQualifier"}, {"2.5.4.46", "dnQualifier"}, {"2.5.4.65", "pseudonym"},
      {"2.5.4.41", "name"}, {"2.5.4.97", "organizationIdentifier"}, {"2.5.4.17", "postalCode"},
      {"2.5.4.15", "businessCategory"}, {"0.9.2342.19200300.100.1.25", "DC"},
      {"0.9.2342.19200300.100.1.1", "UID"}, {"1.2.840.113549.1.9.1", "emailAddress"},
  };
  for (const auto& [known, name] : NAMES) {
    if (known == oid) return name;
  }
  return nullptr;
}

std::string attribute_value(const CERT_RDN_ATTR& attribute) {
  const CERT_RDN_VALUE_BLOB& value = attribute.Value;
  switch (attribute.dwValueType) {
    case CERT_RDN_ENCODED_BLOB:
      return rfc2253_hex(bytes_of(value.pbData, value.cbData));
    case CERT_RDN_OCTET_STRING: {
      std::string der("\x04", 1);
      if (value.cbData >= 0x80) return rfc2253_hex(bytes_of(value.pbData, value.cbData));
      der += static_cast<char>(value.cbData);
      return rfc2253_hex(der.append(bytes_of(value.pbData, value.cbData)));
    }
    default:
      // X509_UNICODE_NAME hands every string type over as UTF-16.
      return rfc2253_escape(utf8_value(value));
  }
}

// RFC 2253: the last RDN first, and, as OpenSSL prints them, the attributes of a multi-valued RDN
// in reverse order too. `common_name` gets the first CN in the certificate's own order.
bool name_text(const CERT_NAME_BLOB& blob, std::string& text, std::string* common_name) {
  CERT_NAME_INFO* decoded = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, blob.pbData, blob.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size)) {
    return false;
  }
  std::unique_ptr<CERT_NAME_INFO, local_free> owner(decoded);
  text.clear();
  for (DWORD r = decoded->cRDN; r-- > 0;) {
    const CERT_RDN& rdn = decoded->rgRDN[r];
    for (DWORD a = rdn.cRDNAttr; a-- > 0;) {
      const CERT_RDN_ATTR& attribute = rdn.rgRDNAttr[a];
      if (!text.empty()) text += a + 1 == rdn.cRDNAttr ? ',' : '+';
      const std::string_view oid = attribute.pszObjId ? attribute.pszObjId : "";
      const char* short_name = attribute_name(oid);
      text += short_name ? std::string(short_name) : std::string(oid);
      text += '=';
      text += attribute_value(attribute);
    }
  }
  if (common_name) {
    common_name->clear();
    for (DWORD r = 0; r < decoded->cRDN && common_name->empty(); ++r) {
      const CERT_RDN& rdn = decoded->rgRDN[r];
      for (DWORD a = 0; a < rdn.cRDNAttr; ++a) {
        const CERT_RDN_ATTR& attribute = rdn.rgRDNAttr[a];
        if (attribute.pszObjId && std::string_view(attribute.pszObjId) == szOID_COMMON_NAME &&
            attribute.dwValueType != CERT_RDN_ENCODED_BLOB &&
            attribute.dwValueType != CERT_RDN_OCTET_STRING) {
          *common_name = utf8_value(attribute.Value);
          break;
        }
      }
    }
  }
  return true;
}

// Big-endian hex without leading zero bytes, as OpenSSL prints serial numbers; CryptoAPI keeps
// integers little-endian.
std::string serial_text(const CRYPT_INTEGER_BLOB& serial) {
  std::string big(serial.cbData, '\0');
  for (DWORD i = 0; i < serial.cbData; ++i) big[i] = static_cast<char>(serial.pbData[serial.cbData - 1 - i]);
  std::size_t start = 0;
  while (start < big.size() && big[start] == 0) ++start;
  if (start == big.size()) return "0";
  return hex_text(std::string_view(big).substr(start));
}

std::string time_text(const FILETIME& time) {
  SYSTEMTIME parts;
  if (!FileTimeToSystemTime(&time, &parts)) return {};
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", parts.wYear,
                                   parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
  return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

void describe_key(const CERT_PUBLIC_KEY_INFO& key, certificate_info& info) {
  const std::string_view oid = key.Algorithm.pszObjId ? key.Algorithm.pszObjId : "";
  const std::string_view public_key = bytes_of(key.PublicKey.pbData, key.PublicKey.cbData);
  if (oid == szOID_RSA_RSA) {
    info.kind = key_kind::rsa;
    info.key_type = "RSA";
    info.key_bits = rsa_modulus_bits(public_key);
    return;
  }
  if (oid == szOID_ECC_PUBLIC_KEY) {
    info.kind = key_kind::ec;
    info.key_type = "EC";
    // The parameters are the named curve's OID, DER-encoded.
    static constexpr struct {
      std::string_view der;
      const char* name;
      int bits;
    } CURVES[] = {
        {{"\x06\x08\x2a\x86\x48\xce\x3d\x03\x01\x07", 10}, "P-256", 256},
        {{"\x06\x05\x2b\x81\x04\x00\x22", 7}, "P-384", 384},
        {{"\x06\x05\x2b\x81\x04\x00\x23", 7}, "P-521", 521},
    };
    const std::string_view parameters = bytes_of(key.Algorithm.Parameters.pbData, key.Algorithm.Parameters.cbData);
    for (const auto& curve : CURVES) {
      if (parameters == curve.der) {
        info.curve = curve.name;
        info.key_bits = curve.bits;
        return;
      }
    }
    LPSTR* curve_oid = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OBJECT_IDENTIFIER, key.Algorithm.Parameters.pbData,
                            key.Algorithm.Parameters.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                            &curve_oid, &size)) {
      info.curve = *curve_oid;
      LocalFree(curve_oid);
    }
    // An uncompressed point: 04, then x and y of the field's size.
    if (public_key.size() > 1 && public_key[0] == 0x04) {
      info.key_bits = static_cast<int>((public_key.size() - 1) / 2 * 8);
    }
    return;
  }
  static constexpr std::pair<std::string_view, const char*> OTHERS[] = {
      {"1.3.101.112", "ED25519"}, {"1.3.101.113", "ED448"}, {"1.2.840.10040.4.1", "DSA"}};
  info.key_type = std::string(oid);
  for (const auto& [known, name] : OTHERS) {
    if (known == oid) info.key_type = name;
  }
}

}  // namespace

std::wstring wide_of(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return L"?";
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string utf8_of(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring cng_hash_name(const hash_algorithm& hash) {
  return std::wstring(hash.tag.begin(), hash.tag.end());
}

namespace {

std::string digest_with(const wchar_t* name, std::size_t size, std::string_view data) {
  const algorithm_handle algorithm(name);
  BCRYPT_HASH_HANDLE handle = nullptr;
  if (!algorithm.get() ||
      !BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &handle, nullptr, 0, nullptr, 0, 0))) {
    return {};
  }
  std::unique_ptr<void, hash_destroy> owner(handle);
  // BCryptHashData counts in ULONG; feed large data in parts.
  constexpr std::size_t PART = 1u << 30;
  for (std::size_t offset = 0; offset < data.size(); offset += PART) {
    const std::string_view part = data.substr(offset, PART);
    if (!BCRYPT_SUCCESS(BCryptHashData(handle, reinterpret_cast<PUCHAR>(const_cast<char*>(part.data())),
                                       static_cast<ULONG>(part.size()), 0))) {
      return {};
    }
  }
  std::string out(size, '\0');
  if (!BCRYPT_SUCCESS(BCryptFinishHash(handle, reinterpret_cast<PUCHAR>(out.data()),
                                       static_cast<ULONG>(out.size()), 0))) {
    return {};
  }
  return out;
}

}  // namespace

std::string digest_of(const hash_algorithm& hash, std::string_view data) {
  return digest_with(cng_hash_name(hash).c_str(), hash.size, data);
}

std::optional<certificate_info> describe(std::string_view der) {
  const certificate_ptr certificate = certificate_of(der);
  if (!certificate) return std::nullopt;
  const CERT_INFO& fields = *certificate->pCertInfo;
  const std::string fingerprint = digest_with(BCRYPT_SHA256_ALGORITHM, 32, der);
  certificate_info info;
  if (fingerprint.empty() || !name_text(fields.Subject, info.subject, &info.common_name) ||
      !name_text(fields.Issuer, info.issuer, nullptr)) {
    return std::nullopt;
  }
  info.fingerprint = hex_text(fingerprint);
  info.serial = serial_text(fields.SerialNumber);
  info.not_before = time_text(fields.NotBefore);
  info.not_after = time_text(fields.NotAfter);
  describe_key(fields.SubjectPublicKeyInfo, info);
  if (const CERT_EXTENSION* usage =
          CertFindExtension(szOID_KEY_USAGE, fields.cExtension, fields.rgExtension)) {
    CRYPT_BIT_BLOB* bits = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_KEY_USAGE, usage->Value.pbData, usage->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &bits, &size)) {
      info.key_usage = bits->cbData > 0 ? bits->pbData[0] : 0;
      LocalFree(bits);
    }
  }
  if (const CERT_EXTENSION* extended =
          CertFindExtension(szOID_ENHANCED_KEY_USAGE, fields.cExtension, fields.rgExtension)) {
    CERT_ENHKEY_USAGE* usages = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, extended->Value.pbData,
                            extended->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &usages, &size)) {
      for (DWORD i = 0; i < usages->cUsageIdentifier; ++i) {
        if (std::string_view(usages->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_CLIENT_AUTH) info.client_auth = true;
      }
      LocalFree(usages);
    }
  }
  return info;
}

bool verify(std::string_view certificate_der, padding pad, const hash_algorithm& hash,
            std::string_view digest, std::string_view signature) {
  const certificate_ptr certificate = certificate_of(certificate_der);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!certificate ||
      !CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo,
                                   0, nullptr, &key)) {
    return false;
  }
  std::unique_ptr<void, key_destroy> owner(key);
  return detail::verify_with_key(key, pad, hash, digest, signature);
}

namespace detail {

bool verify_with_key(BCRYPT_KEY_HANDLE key, padding pad, const hash_algorithm& hash,
                     std::string_view digest, std::string_view signature) {
  const std::wstring name = cng_hash_name(hash);
  BCRYPT_PKCS1_PADDING_INFO pkcs1{name.c_str()};
  BCRYPT_PSS_PADDING_INFO pss{name.c_str(), static_cast<ULONG>(hash.size)};
  void* padding_info = nullptr;
  ULONG flags = 0;
  if (pad == padding::pkcs1) {
    padding_info = &pkcs1;
    flags = BCRYPT_PAD_PKCS1;
  } else if (pad == padding::pss) {
    padding_info = &pss;
    flags = BCRYPT_PAD_PSS;
  }
  if (signature.empty()) return false;
  return BCRYPT_SUCCESS(BCryptVerifySignature(
      key, padding_info, reinterpret_cast<PUCHAR>(const_cast<char*>(digest.data())),
      static_cast<ULONG>(digest.size()), reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())),
      static_cast<ULONG>(signature.size()), flags));
}

}  // namespace detail
}  // namespace npc::signer::win
