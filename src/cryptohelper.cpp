#include "cryptohelper.h"

#include "cryptexception.h"

#include <string>

namespace CryptoHelper {

namespace {
int s_Sha1Index = -1;
int s_PrngIndex = -1;

[[noreturn]] void fail(const char *function, int error)
{
    throw crypt_exception(std::string(function) + ": " + error_to_string(error));
}

void check(const char *function, int error)
{
    if (error != CRYPT_OK)
        fail(function, error);
}
} // namespace

void initialize()
{
    if (s_Sha1Index >= 0 && s_PrngIndex >= 0)
        return;
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    s_Sha1Index = find_hash("sha1");
    s_PrngIndex = find_prng("sprng");
    if (s_Sha1Index < 0)
        throw crypt_exception("Error registering sha1");
    if (s_PrngIndex < 0)
        throw crypt_exception("Error registering sprng");
}

int sha1Index()
{
    return s_Sha1Index;
}

RsaKey::~RsaKey()
{
    if (m_Loaded)
        rsa_free(&m_Key);
}

Sha1::Sha1()
{
    check("sha1_init", sha1_init(&m_State));
}

void Sha1::addData(const char *data, qint64 length)
{
    check("sha1_process",
          sha1_process(&m_State, reinterpret_cast<const unsigned char *>(data), static_cast<unsigned long>(length)));
}

QByteArray Sha1::result()
{
    QByteArray digest(20, '\0');
    check("sha1_done", sha1_done(&m_State, reinterpret_cast<unsigned char *>(digest.data())));
    return digest;
}

void rsaImport(const unsigned char *der, unsigned long length, RsaKey &key)
{
    check("rsa_import", rsa_import(der, length, key.get()));
    key.setLoaded();
}

bool rsaVerifyPssSha1(const QByteArray &signature, const QByteArray &sha1Digest, unsigned long saltLength, RsaKey &key)
{
    int valid = 0;
    check("rsa_verify_hash",
          rsa_verify_hash_ex(reinterpret_cast<const unsigned char *>(signature.constData()),
                             static_cast<unsigned long>(signature.size()),
                             reinterpret_cast<const unsigned char *>(sha1Digest.constData()),
                             static_cast<unsigned long>(sha1Digest.size()), LTC_PKCS_1_PSS, s_Sha1Index, saltLength,
                             &valid, key.get()));
    return valid != 0;
}

QByteArray rsaSignPssSha1(const QByteArray &sha1Digest, unsigned long saltLength, RsaKey &key)
{
    QByteArray signature(4096, '\0');
    unsigned long length = static_cast<unsigned long>(signature.size());
    check("rsa_sign_hash",
          rsa_sign_hash_ex(reinterpret_cast<const unsigned char *>(sha1Digest.constData()),
                           static_cast<unsigned long>(sha1Digest.size()),
                           reinterpret_cast<unsigned char *>(signature.data()), &length, LTC_PKCS_1_PSS, nullptr,
                           s_PrngIndex, s_Sha1Index, saltLength, key.get()));
    signature.truncate(static_cast<int>(length));
    return signature;
}

void rsaMakeKey(int bits, RsaKey &key)
{
    check("rsa_make_key", rsa_make_key(nullptr, s_PrngIndex, bits / 8, 65537, key.get()));
    key.setLoaded();
}

QByteArray rsaExport(int type, RsaKey &key)
{
    QByteArray der(8192, '\0');
    unsigned long length = static_cast<unsigned long>(der.size());
    check("rsa_export", rsa_export(reinterpret_cast<unsigned char *>(der.data()), &length, type, key.get()));
    der.truncate(static_cast<int>(length));
    return der;
}

} // namespace CryptoHelper
