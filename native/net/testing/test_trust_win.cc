#include <windows.h>
#include <wincrypt.h>

#include "net/testing/test_trust.h"

namespace ov::testing {

TrustedCertificate::TrustedCertificate(const TestCertificate& certificate) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
  if (store == nullptr) return;
  PCCERT_CONTEXT added = nullptr;
  ok_ = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certificate.certDer.data(),
                                         static_cast<DWORD>(certificate.certDer.size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, &added) != FALSE;
  context_ = added;
  CertCloseStore(store, 0);
}

TrustedCertificate::~TrustedCertificate() {
  if (context_ != nullptr) CertDeleteCertificateFromStore(static_cast<PCCERT_CONTEXT>(context_));
}

}  // namespace ov::testing
