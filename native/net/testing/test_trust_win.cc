#include <windows.h>
#include <wincrypt.h>

#include "net/testing/test_trust.h"

namespace ov::testing {
namespace {

// The current user's own root store in the registry (not the collection that also shows the
// machine's roots), so that a change can be committed and undone precisely.
HCERTSTORE OpenUserRoot() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
}

}  // namespace

TrustedCertificate::TrustedCertificate(const TestCertificate& certificate) {
  HCERTSTORE store = OpenUserRoot();
  if (store == nullptr) return;
  PCCERT_CONTEXT added = nullptr;
  ok_ = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certificate.certDer.data(),
                                         static_cast<DWORD>(certificate.certDer.size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, &added) != FALSE;
  // Written through now: a registry store that stays open (the returned context keeps it open)
  // would otherwise reach the registry only when it is finally closed, and a chain engine
  // created before then would not see the certificate.
  ok_ = ok_ && CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr) != FALSE;
  if (added != nullptr) {
    context_ = CertCreateCertificateContext(X509_ASN_ENCODING, added->pbCertEncoded, added->cbCertEncoded);
    CertFreeCertificateContext(added);
  }
  CertCloseStore(store, 0);
}

TrustedCertificate::~TrustedCertificate() {
  const auto* own = static_cast<PCCERT_CONTEXT>(context_);
  if (own == nullptr) return;
  if (HCERTSTORE store = OpenUserRoot()) {
    if (PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, own, nullptr)) {
      CertDeleteCertificateFromStore(found);  // frees `found`
      CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    CertCloseStore(store, 0);
  }
  CertFreeCertificateContext(own);
}

}  // namespace ov::testing
