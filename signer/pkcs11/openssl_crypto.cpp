// OpenSSL 3 for hashing, certificate parsing and the signature encodings.
#include "pkcs11/openssl_crypto.hpp"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <ctime>
#include <memory>


namespace npc::signer {
namespace {

template <auto release>
struct releaser {
  template <typename T>
  void operator()(T* p) const { release(p); }
};
using x509_ptr = std::unique_ptr<X509, releaser<X509_free>>;
using bio_ptr = std::unique_ptr<BIO, releaser<BIO_free>>;
using bignum_ptr = std::unique_ptr<BIGNUM, releaser<BN_free>>;
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, releaser<EVP_PKEY_CTX_free>>;
using x509_sig_ptr = std::unique_ptr<X509_SIG, releaser<X509_SIG_free>>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, releaser<EVP_PKEY_free>>;

const EVP_MD* digest_of(const hash_algorithm& hash) {
  switch (hash.id) {
    case hash_id::sha256: return EVP_sha256();
    case hash_id::sha384: return EVP_sha384();
    case hash_id::sha512: return EVP_sha512();
  }
  return nullptr;
}

// The DER bytes that an i2d_ function allocated, as a string; the allocation is released. Empty
// when the encoding failed (a length of 0 or less).
std::string take_der(unsigned char* der, int length) {
  if (length <= 0) return {};
  std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

x509_ptr parse_certificate(std::string_view der) {
  auto bytes = reinterpret_cast<const unsigned char*>(der.data());
  return x509_ptr(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
}

std::string name_text(const X509_NAME* name) {
  bio_ptr bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  // RFC 2253 without escaping bytes above 0x7f, so that names come out as UTF-8.
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string common_name_of(const X509_NAME* name) {
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return {};
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

std::string time_text(const ASN1_TIME* time) {
  std::tm parts{};
  if (ASN1_TIME_to_tm(time, &parts) != 1) return {};
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(text, length);
}

std::string serial_text(const ASN1_INTEGER* serial) {
  bignum_ptr number(ASN1_INTEGER_to_BN(serial, nullptr));
  if (!number) return {};
  char* text = BN_bn2hex(number.get());
  if (!text) return {};
  std::string result(text);
  OPENSSL_free(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

void describe_key(EVP_PKEY* key, certificate_info& info) {
  if (!key) return;
  info.key_bits = EVP_PKEY_get_bits(key);
  const int type = EVP_PKEY_get_base_id(key);
  if (type == EVP_PKEY_RSA) {
    info.kind = key_kind::rsa;
    info.key_type = "RSA";
  } else if (type == EVP_PKEY_EC) {
    info.kind = key_kind::ec;
    info.key_type = "EC";
    char group[80];
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1) {
      const char* nist = EC_curve_nid2nist(OBJ_sn2nid(group));
      info.curve = nist ? nist : std::string(group, length);
    }
  } else {
    const char* name = OBJ_nid2sn(type);
    info.key_type = name && type != NID_undef ? name : "unknown";
  }
}

}  // namespace

std::optional<certificate_info> describe_certificate(std::string_view der) {
  x509_ptr certificate = parse_certificate(der);
  if (!certificate) return std::nullopt;
  certificate_info info;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  info.fingerprint = hex_text(std::string_view(reinterpret_cast<const char*>(digest), length));
  info.subject = name_text(X509_get_subject_name(certificate.get()));
  info.common_name = common_name_of(X509_get_subject_name(certificate.get()));
  info.issuer = name_text(X509_get_issuer_name(certificate.get()));
  info.serial = serial_text(X509_get0_serialNumber(certificate.get()));
  info.not_before = time_text(X509_get0_notBefore(certificate.get()));
  info.not_after = time_text(X509_get0_notAfter(certificate.get()));
  describe_key(X509_get0_pubkey(certificate.get()), info);
  const uint32_t flags = X509_get_extension_flags(certificate.get());
  if (flags & EXFLAG_KUSAGE) {
    info.key_usage = static_cast<int>(X509_get_key_usage(certificate.get()) & 0xff);
  }
  // Without the extension OpenSSL reports every usage; only a listed clientAuth counts.
  info.client_auth = (flags & EXFLAG_XKUSAGE) && (X509_get_extended_key_usage(certificate.get()) & XKU_SSL_CLIENT);
  return info;
}

std::string compute_digest(const hash_algorithm& hash, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const EVP_MD* md = digest_of(hash);
  if (!md || EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) != 1) {
    return {};
  }
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::string rsa_digest_info(const hash_algorithm& hash, std::string_view digest) {
  const EVP_MD* md = digest_of(hash);
  x509_sig_ptr info(X509_SIG_new());
  if (!md || !info) return {};
  X509_ALGOR* algorithm = nullptr;
  ASN1_OCTET_STRING* value = nullptr;
  X509_SIG_getm(info.get(), &algorithm, &value);
  if (X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) != 1 ||
      ASN1_OCTET_STRING_set(value, reinterpret_cast<const unsigned char*>(digest.data()),
                            static_cast<int>(digest.size())) != 1) {
    return {};
  }
  unsigned char* der = nullptr;
  const int length = i2d_X509_SIG(info.get(), &der);
  return take_der(der, length);
}

bool verify_signature(std::string_view certificate_der, padding pad, const hash_algorithm& hash,
                      std::string_view digest, std::string_view signature) {
  x509_ptr certificate = parse_certificate(certificate_der);
  EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
  const EVP_MD* md = digest_of(hash);
  if (!key || !md) return false;
  pkey_ctx_ptr context(EVP_PKEY_CTX_new(key, nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), md) != 1) {
    return false;
  }
  if (pad == padding::pkcs1 &&
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  if (pad == padding::pss &&
      (EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
       EVP_PKEY_CTX_set_rsa_pss_saltlen(context.get(), RSA_PSS_SALTLEN_DIGEST) != 1)) {
    return false;
  }
  return EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(),
                         reinterpret_cast<const unsigned char*>(digest.data()),
                         digest.size()) == 1;
}

bool key_matches_certificate(std::string_view certificate_der, std::string_view modulus,
                             std::string_view ec_point) {
  x509_ptr certificate = parse_certificate(certificate_der);
  EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
  if (!key) return false;
  if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
    BIGNUM* n = nullptr;
    if (modulus.empty() || EVP_PKEY_get_bn_param(key, "n", &n) != 1) return false;
    bignum_ptr own(n);
    bignum_ptr other(BN_bin2bn(reinterpret_cast<const unsigned char*>(modulus.data()),
                               static_cast<int>(modulus.size()), nullptr));
    return other && BN_cmp(own.get(), other.get()) == 0;
  }
  if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC) {
    unsigned char point[256];
    std::size_t length = 0;
    if (ec_point.empty() ||
        EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", point, sizeof point, &length) != 1) {
      return false;
    }
    const std::string_view own(reinterpret_cast<char*>(point), length);
    if (ec_point == own) return true;
    // PKCS#11 wants the point as DER: 04, its length, then the point (short form below 128).
    const std::size_t header = length < 128 ? 2 : length < 256 ? 3 : 4;
    return ec_point.size() == header + length && ec_point[0] == 0x04 &&
           ec_point.substr(header) == own;
  }
  return false;
}

}  // namespace npc::signer
