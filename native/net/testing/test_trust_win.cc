#include <windows.h>
#include <wincrypt.h>

#include "net/testing/test_trust.h"

namespace ov::testing {
namespace {

// One root store in the registry (not the collection that the current user's name also shows),
// so that a change can be committed and undone precisely. The machine's store first: with
// administrator rights it takes a certificate silently, whereas Windows asks the user before
// adding one to their own store.
constexpr DWORD kLocations[] = {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_CURRENT_USER};

HCERTSTORE OpenRoot(DWORD location) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, location, L"Root");
}

}  // namespace

TrustedCertificate::TrustedCertificate(const TestCertificate& certificate) {
  for (const DWORD location : kLocations) {
    HCERTSTORE store = OpenRoot(location);
    if (store == nullptr) continue;
    PCCERT_CONTEXT added = nullptr;
    const bool stored = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certificate.certDer.data(),
                                                         static_cast<DWORD>(certificate.certDer.size()),
                                                         CERT_STORE_ADD_REPLACE_EXISTING, &added) != FALSE &&
                        // Written through now: a registry store reaches the registry only when
                        // it is finally closed (the returned context keeps it open), and a chain
                        // engine created before then would not see the certificate.
                        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr) != FALSE;
    if (added != nullptr && stored) {
      context_ = CertCreateCertificateContext(X509_ASN_ENCODING, added->pbCertEncoded, added->cbCertEncoded);
      location_ = location;
      CertFreeCertificateContext(added);
    } else if (added != nullptr) {
      CertDeleteCertificateFromStore(added);  // not committed: take it back (this frees `added`)
    }
    CertCloseStore(store, 0);
    if (stored) {
      ok_ = true;
      return;
    }
  }
}

TrustedCertificate::~TrustedCertificate() {
  const auto* own = static_cast<PCCERT_CONTEXT>(context_);
  if (own == nullptr) return;
  if (HCERTSTORE store = OpenRoot(location_)) {
    if (PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, own, nullptr)) {
      CertDeleteCertificateFromStore(found);  // frees `found`
      CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    CertCloseStore(store, 0);
  }
  CertFreeCertificateContext(own);
}

}  // namespace ov::testing
