/* Makes a certificate a trusted root of the machine's store in the Wine prefix it runs
   in, as an administrator installing a company's root would (no question is asked for the
   machine's store):  keb_trustroot CERTIFICATE.der
   Exit code 0 when the certificate is in the store, 1 when it could not be read, 2 when
   the store refused it. */
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>
#include <stdlib.h>

#include "keb_readfile.h"

int main(int argc, char** argv) {
  long n;
  BYTE* der;
  HCERTSTORE store;
  BOOL added;
  if (argc != 2) {
    fprintf(stderr, "usage: keb_trustroot CERTIFICATE.der\n");
    return 1;
  }
  der = ReadWholeFile(argv[1], &n);
  if (!der) return 1;
  store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (!store) {
    fprintf(stderr, "keb_trustroot: the store cannot be opened (%lu)\n", GetLastError());
    return 2;
  }
  added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, (DWORD)n, CERT_STORE_ADD_REPLACE_EXISTING,
                                           NULL);
  if (!added) fprintf(stderr, "keb_trustroot: the store refused the certificate (%lu)\n", GetLastError());
  CertCloseStore(store, 0);
  free(der);
  return added ? 0 : 2;
}
