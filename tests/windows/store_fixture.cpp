// Puts test certificates into the current user's MY store of a throw-away Wine prefix: RSA keys
// made by OpenSSL (MSBLOB files) imported into named containers, each certificate tied to its
// container, and certificates without a key. Prints "store fixture: done" when all went in.
//   store_fixture key NAME aes|full KEY.msblob CERT.der   (container NAME under that provider type)
//   store_fixture cert CERT.der                           (no key)
//   store_fixture orphan NAME CERT.der                    (tied to container NAME, which does not exist)
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

std::wstring wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

bool report(const char* step) {
  std::fprintf(stderr, "store fixture: %s failed (0x%08lx)\n", step, GetLastError());
  return false;
}

bool add_certificate(const char* path, const CRYPT_KEY_PROV_INFO* key) {
  const std::vector<BYTE> der = read_file(path);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (!store) return report("CertOpenStore");
  const CERT_CONTEXT* added = nullptr;
  bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &added) ||
            report("CertAddEncodedCertificateToStore");
  if (ok && key) {
    ok = CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, key) ||
         report("CertSetCertificateContextProperty");
  }
  if (added) CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  return ok;
}

bool import_key(const char* name, bool aes, const char* blob_path, const char* certificate_path) {
  const std::wstring container = wide(name);
  const wchar_t* provider_name = aes ? MS_ENH_RSA_AES_PROV_W : MS_ENHANCED_PROV_W;
  const DWORD type = aes ? PROV_RSA_AES : PROV_RSA_FULL;
  HCRYPTPROV provider = 0;
  // A container left by an earlier run in the same prefix gets the key again.
  if (!CryptAcquireContextW(&provider, container.c_str(), provider_name, type, CRYPT_NEWKEYSET) &&
      (GetLastError() != static_cast<DWORD>(NTE_EXISTS) ||
       !CryptAcquireContextW(&provider, container.c_str(), provider_name, type, 0))) {
    return report("CryptAcquireContext");
  }
  const std::vector<BYTE> blob = read_file(blob_path);
  HCRYPTKEY key = 0;
  if (!CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key)) {
    CryptReleaseContext(provider, 0);
    return report("CryptImportKey");
  }
  // OpenSSL's blobs carry a key-exchange key; the container keeps it as AT_KEYEXCHANGE.
  ALG_ID algorithm = 0;
  DWORD size = sizeof algorithm;
  CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&algorithm), &size, 0);
  CryptDestroyKey(key);
  CryptReleaseContext(provider, 0);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = const_cast<wchar_t*>(container.c_str());
  info.pwszProvName = const_cast<wchar_t*>(provider_name);
  info.dwProvType = type;
  info.dwKeySpec = algorithm == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
  return add_certificate(certificate_path, &info);
}

}  // namespace

int main(int argc, char** argv) {
  bool ok = false;
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "key" && argc == 6) {
    ok = import_key(argv[2], std::string(argv[3]) == "aes", argv[4], argv[5]);
  } else if (command == "cert" && argc == 3) {
    ok = add_certificate(argv[2], nullptr);
  } else if (command == "orphan" && argc == 4) {
    // What a removed card or a deleted key leaves behind: the certificate still names its key.
    const std::wstring container = wide(argv[2]);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t*>(container.c_str());
    info.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ok = add_certificate(argv[3], &info);
  } else {
    std::fprintf(stderr, "usage: store_fixture key NAME aes|full KEY.msblob CERT.der | cert CERT.der | orphan NAME CERT.der\n");
    return 2;
  }
  if (!ok) return 1;
  std::printf("store fixture: done\n");
  return 0;
}
