// Makes a Wine prefix (or a Windows test machine) trust one certificate for TLS: adds it to the
// machine's root store in the registry, or the current user's when the machine's cannot be
// written, and commits the store before returning, so that a program started afterwards builds
// its chains with it. Used by the demo for the certificate it makes for "localhost".
//
// Usage: demo_trust CERT.der   (exit status 0: trusted; 1: not; 2: usage)
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: demo_trust CERT.der\n");
    return 2;
  }
  FILE* file = _wfopen(argv[1], L"rb");
  if (file == nullptr) {
    std::fprintf(stderr, "demo_trust: cannot open %ls\n", argv[1]);
    return 1;
  }
  std::vector<BYTE> der;
  BYTE buffer[4096];
  for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    der.insert(der.end(), buffer, buffer + n);
  }
  std::fclose(file);
  if (der.empty() || der.size() > 65536) {
    std::fprintf(stderr, "demo_trust: %ls is not a DER certificate\n", argv[1]);
    return 1;
  }
  constexpr DWORD kLocations[] = {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_CURRENT_USER};
  for (const DWORD location : kLocations) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, location, L"Root");
    if (store == nullptr) continue;
    const bool added =
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                         static_cast<DWORD>(der.size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE &&
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr) != FALSE;
    CertCloseStore(store, 0);
    if (added) return 0;
  }
  std::fprintf(stderr, "demo_trust: the certificate could not be added (error %lu)\n",
               GetLastError());
  return 1;
}
