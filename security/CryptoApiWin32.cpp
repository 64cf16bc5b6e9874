// The cryptography of the RSA-AES key exchange and of the AES-EAX channel through
// CryptoAPI (PROV_RSA_AES, verify-context mode).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/RsaKex.h"
#include "security/Secret.h"

namespace {

std::string Failed(const char* format) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(GetLastError()));
  return text;
}

void Reverse(std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0, j = n; i + 1 < j; i++, j--) std::swap(p[i], p[j - 1]);
}

bool AcquireAes(HCRYPTPROV* prov) {
  return CryptAcquireContextA(prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) != FALSE;
}

// One AES key as the block function: a key in ECB mode, each CryptEncrypt call one run of
// blocks without padding.
class CryptoApiAesBlock : public AesBlockFunction {
public:
  CryptoApiAesBlock(HCRYPTPROV prov, HCRYPTKEY key) : m_prov(prov), m_key(key) {}
  ~CryptoApiAesBlock() override {
    CryptDestroyKey(m_key);
    CryptReleaseContext(m_prov, 0);
  }
  bool EncryptBlocks(std::uint8_t* data, std::size_t blocks, std::string* error) override {
    DWORD len = static_cast<DWORD>(blocks * 16);
    if (!CryptEncrypt(m_key, 0, FALSE, 0, data, &len, len)) {
      *error = Failed(UiText(IDS_CRYPT_AES_ENCRYPT_FAILED));
      return false;
    }
    return true;
  }

private:
  HCRYPTPROV m_prov;
  HCRYPTKEY m_key;
};

class CryptoApiAesFactory : public AesBlockFactory {
public:
  std::unique_ptr<AesBlockFunction> NewBlockFunction(const std::uint8_t* key, std::size_t length,
                                                     std::string* error) override {
    if (length != 16 && length != 32) {
      *error = UiText(IDS_AES_KEY_LENGTH);
      return nullptr;
    }
    HCRYPTPROV prov = 0;
    if (!AcquireAes(&prov)) {
      *error = Failed(UiText(IDS_CRYPT_AES_ACQUIRE_FAILED));
      return nullptr;
    }
    struct {
      BLOBHEADER header;
      DWORD length;
      BYTE key[32];
    } blob = {};
    blob.header.bType = PLAINTEXTKEYBLOB;
    blob.header.bVersion = CUR_BLOB_VERSION;
    blob.header.aiKeyAlg = length == 16 ? CALG_AES_128 : CALG_AES_256;
    blob.length = static_cast<DWORD>(length);
    std::memcpy(blob.key, key, length);
    HCRYPTKEY k = 0;
    const BOOL imported = CryptImportKey(prov, reinterpret_cast<const BYTE*>(&blob),
                                         static_cast<DWORD>(sizeof blob.header + sizeof blob.length + length), 0, 0, &k);
    SecureWipe(&blob, sizeof blob);
    if (!imported) {
      *error = Failed(UiText(IDS_CRYPT_IMPORT_FAILED));
      CryptReleaseContext(prov, 0);
      return nullptr;
    }
    DWORD mode = CRYPT_MODE_ECB;
    if (!CryptSetKeyParam(k, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0)) {
      *error = Failed(UiText(IDS_CRYPT_SET_MODE_FAILED));
      CryptDestroyKey(k);
      CryptReleaseContext(prov, 0);
      return nullptr;
    }
    return std::unique_ptr<AesBlockFunction>(new CryptoApiAesBlock(prov, k));
  }
};

class CryptoApiKex : public RSAKEX::Crypto {
public:
  ~CryptoApiKex() override {
    if (m_server) CryptDestroyKey(m_server);
    if (m_client) CryptDestroyKey(m_client);
    if (m_prov) CryptReleaseContext(m_prov, 0);
  }

  bool Open(std::string* error) override {
    if (m_prov) return true;
    if (AcquireAes(&m_prov)) return true;
    m_prov = 0;
    *error = Failed(UiText(IDS_CRYPT_ACQUIRE_FAILED));
    return false;
  }

  bool ImportServerKey(const RSAKEX::RsaKey& key, std::uint32_t exponent, std::string* error) override {
    std::vector<std::uint8_t> blob(sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + key.Bytes());
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.data());
    header->bType = PUBLICKEYBLOB;
    header->bVersion = CUR_BLOB_VERSION;
    header->aiKeyAlg = CALG_RSA_KEYX;
    auto* rsa = reinterpret_cast<RSAPUBKEY*>(blob.data() + sizeof(BLOBHEADER));
    rsa->magic = 0x31415352;  // "RSA1"
    rsa->bitlen = key.bits;
    rsa->pubexp = exponent;
    std::uint8_t* modulus = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    std::memcpy(modulus, key.modulus.data(), key.Bytes());
    Reverse(modulus, key.Bytes());  // CryptoAPI keeps numbers little-endian
    if (!CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &m_server)) {
      m_server = 0;
      *error = Failed(UiText(IDS_RSA_INVALID_SERVER_KEY));
      return false;
    }
    m_serverBytes = key.Bytes();
    return true;
  }

  bool GenerateClientKey(int bits, RSAKEX::RsaKey* key, std::string* error) override {
    if (!CryptGenKey(m_prov, CALG_RSA_KEYX, (static_cast<DWORD>(bits) << 16) | CRYPT_EXPORTABLE, &m_client)) {
      m_client = 0;
      *error = Failed(UiText(IDS_CRYPT_GENKEY_FAILED));
      return false;
    }
    DWORD len = 0;
    if (!CryptExportKey(m_client, 0, PUBLICKEYBLOB, 0, nullptr, &len)) {
      *error = Failed(UiText(IDS_CRYPT_EXPORT_FAILED));
      return false;
    }
    std::vector<std::uint8_t> blob(len);
    if (!CryptExportKey(m_client, 0, PUBLICKEYBLOB, 0, blob.data(), &len)) {
      *error = Failed(UiText(IDS_CRYPT_EXPORT_FAILED));
      return false;
    }
    const auto* header = reinterpret_cast<const BLOBHEADER*>(blob.data());
    const auto* rsa = reinterpret_cast<const RSAPUBKEY*>(blob.data() + sizeof(BLOBHEADER));
    const std::size_t bytes = rsa->bitlen / 8;
    if (len < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) || header->bType != PUBLICKEYBLOB ||
        header->aiKeyAlg != CALG_RSA_KEYX || rsa->magic != 0x31415352 || bytes < 4 ||
        len < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + bytes) {
      *error = UiText(IDS_RSA_INVALID_CLIENT_KEY);
      return false;
    }
    key->bits = rsa->bitlen;
    key->modulus.assign(blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY),
                        blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + bytes);
    Reverse(key->modulus.data(), bytes);
    key->exponent.assign(bytes, 0);
    for (int i = 0; i < 4; i++) key->exponent[bytes - 1 - i] = static_cast<std::uint8_t>(rsa->pubexp >> (8 * i));
    m_clientBytes = bytes;
    return true;
  }

  bool EncryptForServer(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>* out,
                        std::string* error) override {
    SecretBytes buf(std::max(m_serverBytes, length) + 16);  // the random, until enciphered
    std::memcpy(buf.data(), data, length);
    DWORD len = static_cast<DWORD>(length);
    if (!CryptEncrypt(m_server, 0, TRUE, 0, buf.data(), &len, static_cast<DWORD>(buf.size()))) {
      *error = Failed(UiText(IDS_CRYPT_ENCRYPT_FAILED));
      return false;
    }
    out->assign(buf.begin(), buf.begin() + len);
    Reverse(out->data(), out->size());
    return true;
  }

  bool DecryptWithClientKey(const std::vector<std::uint8_t>& cipher, SecretBytes* out,
                            std::string* error) override {
    SecretBytes buf(cipher.begin(), cipher.end());  // deciphered in place
    Reverse(buf.data(), buf.size());
    DWORD len = static_cast<DWORD>(buf.size());
    if (!CryptDecrypt(m_client, 0, TRUE, 0, buf.data(), &len)) {
      *error = Failed(UiText(IDS_CRYPT_DECRYPT_RANDOM_FAILED));
      return false;
    }
    out->assign(buf.begin(), buf.begin() + len);
    return true;
  }

  bool Random(std::uint8_t* out, std::size_t length, std::string* error) override {
    if (CryptGenRandom(m_prov, static_cast<DWORD>(length), out)) return true;
    *error = Failed(UiText(IDS_CRYPT_RANDOM_FAILED));
    return false;
  }

  bool Hash(bool sha256, std::initializer_list<RSAKEX::HashPart> parts, SecretBytes* digest,
            std::string* error) override {
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(m_prov, sha256 ? CALG_SHA_256 : CALG_SHA1, 0, 0, &h)) {
      *error = Failed(UiText(IDS_CRYPT_CREATE_HASH_FAILED));
      return false;
    }
    bool ok = true;
    for (const auto& p : parts)
      if (ok && p.size) ok = CryptHashData(h, p.data, static_cast<DWORD>(p.size), 0) != FALSE;
    DWORD len = 32;
    digest->assign(32, 0);
    if (ok) ok = CryptGetHashParam(h, HP_HASHVAL, digest->data(), &len, 0) != FALSE;
    if (!ok) *error = Failed(UiText(IDS_CRYPT_HASH_DATA_FAILED));
    digest->resize(ok ? len : 0);
    CryptDestroyHash(h);
    return ok;
  }

  AesBlockFactory& Aes() override { return m_aes; }

private:
  HCRYPTPROV m_prov = 0;
  HCRYPTKEY m_server = 0, m_client = 0;
  std::size_t m_serverBytes = 0, m_clientBytes = 0;
  CryptoApiAesFactory m_aes;
};

}  // namespace

std::unique_ptr<RSAKEX::Crypto> RSAKEX::DefaultKexCrypto() { return std::unique_ptr<Crypto>(new CryptoApiKex); }
