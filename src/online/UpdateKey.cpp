#include "online/UpdateKey.h"

#include "online/UpdatePublicKey.h"

#include <openssl/evp.h>

#include <memory>

namespace {
constexpr qsizetype kLastByte = UpdateKey::kKeySize - 1;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
// The encodings of the eight Ed25519 points of small order (and of the same points with y not
// reduced: p, p + 1), the sign bit cleared. A signature checks out for such a public key
// without its private half: anybody could sign for it.
bool smallOrder(const QByteArray& raw) {
    static const char* const points[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };
    QByteArray cleared = raw;
    cleared[kLastByte] = char(uchar(cleared[kLastByte]) & 0x7f);
    for (const char* point : points)
        if (cleared == QByteArray::fromHex(point))
            return true;
    return false;
}
} // namespace

UpdateKey::UpdateKey(QByteArray raw) {
    if (raw.size() == kKeySize && !smallOrder(raw))
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

QByteArray UpdateKey::contextPrefix(Kind kind) {
    switch (kind) {
    case Kind::ControlFile:
        return QByteArrayLiteral("OrvelSQLBackup control file v1\n");
    case Kind::Library:
        return QByteArrayLiteral("OrvelSQLBackup library v1\n");
    case Kind::ProgramFile:
        return QByteArrayLiteral("OrvelSQLBackup program file v1\n");
    }
    return QByteArray();
}

bool UpdateKey::verifies(Kind kind, QByteArrayView data, QByteArrayView signature) const {
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
    // Ed25519 takes the message in one piece: the context line and the data, joined.
    QByteArray message = contextPrefix(kind);
    message.append(data.data(), data.size());
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            size_t(message.size())) == 1;
}
