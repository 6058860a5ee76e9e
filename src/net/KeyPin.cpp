#include "net/KeyPin.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

QByteArray publicKeyPin(void* certificate) {
    unsigned char* der = nullptr;
    const int length =
        i2d_X509_PUBKEY(X509_get_X509_PUBKEY(static_cast<X509*>(certificate)), &der);
    if (length <= 0)
        return QByteArray();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool ok =
        EVP_Digest(der, size_t(length), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok)
        return QByteArray();
    return "sha256//" +
           QByteArray(reinterpret_cast<const char*>(digest), qsizetype(digestLength)).toBase64();
}
