#ifndef CRYPTOHELPER_H
#define CRYPTOHELPER_H

#include <QByteArray>

#include <tomcrypt.h>

// Thin wrappers around the libtomcrypt calls the updater and the publisher tools need. Every wrapper
// throws crypt_exception (library function name, ": ", the library's error text) when the call fails,
// so callers handle one failure path.
//
// Threads: initialize() writes the library's registration tables and math provider and must run once,
// in one thread, before any other function here is used anywhere; afterwards every function may be
// called from any thread (each call works on its own key and hash state).
namespace CryptoHelper {

// Selects libtommath as the math provider and registers SHA-1 and the system random source (sprng).
// Calling it again does nothing. Throws crypt_exception ("Error registering sha1", ...) on failure.
void initialize();
// The library's index of SHA-1; -1 before initialize().
int sha1Index();

// An RSA key that frees its numbers when it goes.
class RsaKey
{
public:
    RsaKey() = default;
    ~RsaKey();
    RsaKey(const RsaKey &) = delete; // owns library-allocated numbers
    RsaKey &operator=(const RsaKey &) = delete;

    rsa_key *get() { return &m_Key; }
    bool isLoaded() const { return m_Loaded; }
    void setLoaded() { m_Loaded = true; }

private:
    rsa_key m_Key{};
    bool m_Loaded = false;
};

// SHA-1 over data given piecewise.
class Sha1
{
public:
    Sha1();
    void addData(const char *data, qint64 length);
    // The 20-byte digest; the object must not be used afterwards.
    QByteArray result();

private:
    hash_state m_State{};
};

// A PKCS #1 RSAPublicKey/RSAPrivateKey or a SubjectPublicKeyInfo, DER encoded.
void rsaImport(const unsigned char *der, unsigned long length, RsaKey &key);
// RSASSA-PSS with SHA-1 (hash and mask generation) and the given salt length. True when the signature
// is valid; a signature the library cannot even process (for example of the wrong length) throws.
bool rsaVerifyPssSha1(const QByteArray &signature, const QByteArray &sha1Digest, unsigned long saltLength, RsaKey &key);
QByteArray rsaSignPssSha1(const QByteArray &sha1Digest, unsigned long saltLength, RsaKey &key);
// A new key of the given size in bits with public exponent 65537.
void rsaMakeKey(int bits, RsaKey &key);
// PK_PRIVATE gives a PKCS #1 RSAPrivateKey; PK_PUBLIC | PK_STD a SubjectPublicKeyInfo.
QByteArray rsaExport(int type, RsaKey &key);

} // namespace CryptoHelper

#endif // CRYPTOHELPER_H
