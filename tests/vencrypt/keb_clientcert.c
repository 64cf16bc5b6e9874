/* Puts a client certificate with its private key into the current user's personal store
   ("MY") of the Wine prefix it runs in, as a user importing a PKCS#12 file would:
     keb_clientcert CERTIFICATE.pfx
   The file has an empty password. Exit code 0 when the certificate is in the store with
   a key the store can find, 1 when the file could not be read, 2 when the store refused
   it. */
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>
#include <stdlib.h>

#include "keb_readfile.h"

int main(int argc, char** argv) {
  long n;
  BYTE* der;
  CRYPT_DATA_BLOB blob;
  HCERTSTORE imported, my;
  PCCERT_CONTEXT cert = NULL;
  int added = 0;
  if (argc != 2) {
    fprintf(stderr, "usage: keb_clientcert CERTIFICATE.pfx\n");
    return 1;
  }
  der = ReadWholeFile(argv[1], &n);
  if (!der) return 1;
  blob.cbData = (DWORD)n;
  blob.pbData = der;
  imported = PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET | CRYPT_EXPORTABLE);
  if (!imported) {
    fprintf(stderr, "keb_clientcert: the file was not taken (%lu)\n", GetLastError());
    return 2;
  }
  my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
  if (!my) {
    fprintf(stderr, "keb_clientcert: the personal store cannot be opened (%lu)\n", GetLastError());
    return 2;
  }
  while ((cert = CertEnumCertificatesInStore(imported, cert)) != NULL) {
    DWORD size = 0;
    /* Only the certificate that has its key: the one a provider could send. */
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size)) continue;
    if (CertAddCertificateContextToStore(my, cert, CERT_STORE_ADD_REPLACE_EXISTING, NULL))
      added++;
    else
      fprintf(stderr, "keb_clientcert: the store refused the certificate (%lu)\n", GetLastError());
  }
  CertCloseStore(my, 0);
  CertCloseStore(imported, 0);
  free(der);
  printf("keb_clientcert: %d certificate(s) with a key in the personal store\n", added);
  return added ? 0 : 2;
}
