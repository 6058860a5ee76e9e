#pragma once

#include "online/UpdateKey.h"

#include <openssl/evp.h>

#include <QByteArray>

// A maker's Ed25519 key pair made for one test: signs control files and libraries as
// scripts/sign-update does (64 raw bytes over the kind's context line and the exact content),
// and gives the public key to build the verifying UpdateKey from.
class UpdateSigner {
public:
    UpdateSigner() : m_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {}
    ~UpdateSigner() { EVP_PKEY_free(m_key); }
    UpdateSigner(const UpdateSigner&) = delete;
    UpdateSigner& operator=(const UpdateSigner&) = delete;

    bool isValid() const { return m_key != nullptr; }

    UpdateKey publicKey() const {
        QByteArray raw(UpdateKey::kKeySize, Qt::Uninitialized);
        size_t length = size_t(raw.size());
        if (!m_key || EVP_PKEY_get_raw_public_key(
                          m_key, reinterpret_cast<unsigned char*>(raw.data()), &length) != 1)
            return {};
        return UpdateKey(raw);
    }

    QByteArray sign(const QByteArray& content,
                    UpdateKey::Kind kind = UpdateKey::Kind::ControlFile) const {
        const QByteArray data = UpdateKey::contextPrefix(kind) + content;
        QByteArray signature(UpdateKey::kSignatureSize, Qt::Uninitialized);
        size_t length = size_t(signature.size());
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        const bool ok =
            ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, m_key) == 1 &&
            EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &length,
                           reinterpret_cast<const unsigned char*>(data.constData()),
                           size_t(data.size())) == 1;
        EVP_MD_CTX_free(ctx);
        return ok ? signature.left(qsizetype(length)) : QByteArray();
    }

private:
    EVP_PKEY* m_key;
};
