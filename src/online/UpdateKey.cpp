#include "online/UpdateKey.h"

#include "online/UpdatePublicKey.h"

#include <openssl/evp.h>

#include <QFileDevice>

#include <memory>

namespace {
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
} // namespace

UpdateKey::UpdateKey(QByteArray raw) {
    if (raw.size() == kKeySize)
        m_raw = std::move(raw);
}

UpdateKey UpdateKey::fromHex(QByteArrayView hex) {
    if (hex.size() != 2 * kKeySize)
        return {};
    for (const char c : hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return {};
    return UpdateKey(QByteArray::fromHex(hex.toByteArray()));
}

UpdateKey UpdateKey::builtIn() {
    return fromHex(QByteArrayView(ORVEL_UPDATE_PUBLIC_KEY));
}

bool UpdateKey::verifies(QByteArrayView data, QByteArrayView signature) const {
    if (!isSet() || signature.size() != kSignatureSize)
        return false;
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(m_raw.constData()),
        size_t(m_raw.size())));
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx)
        return false;
    // Ed25519 hashes the message itself: no digest is named, and the data goes in at once.
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    static const unsigned char empty = 0;
    const auto* bytes =
        data.isEmpty() ? &empty : reinterpret_cast<const unsigned char*>(data.data());
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            size_t(signature.size()), bytes, size_t(data.size())) == 1;
}

bool UpdateKey::verifiesFile(QFileDevice& file, QByteArrayView signature) const {
    if (!isSet())
        return false;
    const qint64 size = file.size();
    if (size == 0)
        return verifies(QByteArrayView(), signature);
    uchar* mapped = file.map(0, size);
    if (!mapped)
        return false;
    const bool ok =
        verifies(QByteArrayView(reinterpret_cast<const char*>(mapped), size), signature);
    file.unmap(mapped);
    return ok;
}
