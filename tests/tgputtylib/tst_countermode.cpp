// The AES counter mode the SFTP library gives libssh2: whatever way the data is cut into
// calls, it must give exactly AES in counter mode with a 128-bit big-endian counter, as
// OpenSSL's own block-level counter mode makes it, for every key length, in both directions,
// across the ends of its key stream, through a wrapping counter and after a new key or counter.

// The reference is OpenSSL's low-level AES with its generic counter mode.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "tgputtylib/CounterModeCipher.h"

#include <openssl/aes.h>
#include <openssl/evp.h>
#include <openssl/modes.h>

#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

Bytes randomBytes(QRandomGenerator& random, size_t n) {
    Bytes b(n);
    for (auto& c : b)
        c = static_cast<unsigned char>(random.bounded(256));
    return b;
}

Bytes referenceCtr(const Bytes& key, const Bytes& iv, const Bytes& data) {
    AES_KEY aes;
    AES_set_encrypt_key(key.data(), static_cast<int>(key.size() * 8), &aes);
    unsigned char counter[16], partial[16] = {};
    std::memcpy(counter, iv.data(), 16);
    unsigned int used = 0;
    Bytes out(data.size());
    CRYPTO_ctr128_encrypt(data.data(), out.data(), data.size(), &aes, counter, partial, &used,
                          reinterpret_cast<block128_f>(AES_encrypt));
    return out;
}

CipherContext started(const Bytes& key, const Bytes& iv, int encrypt) {
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const EVP_CIPHER* cipher = tgputty::bulkCounterMode(static_cast<int>(key.size()));
    if (!cipher || EVP_CipherInit(ctx.get(), cipher, key.data(), iv.data(), encrypt) != 1)
        return CipherContext(nullptr, &EVP_CIPHER_CTX_free);
    return ctx;
}

// Runs data[from, to) through the context as libssh2 does: EVP_Cipher into a separate buffer,
// in calls of the given sizes (repeated).
bool crypt(EVP_CIPHER_CTX* ctx, const Bytes& data, size_t from, size_t to, const QList<int>& calls,
           Bytes& out) {
    unsigned char temp[8192];
    for (size_t at = from, call = 0; at < to; ++call) {
        const size_t n = std::min<size_t>(calls[call % calls.size()], to - at);
        if (EVP_Cipher(ctx, temp, data.data() + at, static_cast<unsigned>(n)) == -1)
            return false;
        std::memcpy(out.data() + at, temp, n);
        at += n;
    }
    return true;
}

Bytes ivWithCounter(QRandomGenerator& random, const QByteArray& kind) {
    Bytes iv = randomBytes(random, 16);
    if (kind == "low half wraps") // the low 64 bits wrap after 3 blocks
        std::fill(iv.begin() + 8, iv.end() - 1, 0xff), iv[15] = 0xfd;
    else if (kind == "whole counter wraps") // after the first block the counter is 0
        std::fill(iv.begin(), iv.end(), 0xff);
    else if (kind == "low half about to wrap") // wraps after 128 blocks, the high half is 1
        iv = {0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x80};
    else if (kind == "small low half")
        iv = {0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 3};
    return iv;
}

// The suite is linked with the linker's --wrap for EVP_EncryptInit_ex: while this is set, the
// AES under the counter mode cannot be keyed, as when OpenSSL runs out of memory.
bool s_failBlockCipherInit = false;

} // namespace

extern "C" {
int __real_EVP_EncryptInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* type, ENGINE* impl,
                              const unsigned char* key, const unsigned char* iv);
int __wrap_EVP_EncryptInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* type, ENGINE* impl,
                              const unsigned char* key, const unsigned char* iv) {
    if (s_failBlockCipherInit && type && EVP_CIPHER_get_mode(type) == EVP_CIPH_ECB_MODE)
        return 0;
    return __real_EVP_EncryptInit_ex(ctx, type, impl, key, iv);
}
}

class TestCounterMode : public QObject {
    Q_OBJECT

private slots:
    void matchesOpenSsl_data() {
        QTest::addColumn<int>("keyLength");
        QTest::addColumn<QByteArray>("counter");
        QTest::addColumn<QList<int>>("calls");
        const QList<QPair<const char*, QList<int>>> cuts = {
            {"blocks of 16", {16}},
            {"uneven", {1, 15, 17, 4095, 4097, 3, 8000, 16}},
        };
        for (int keyLength : {16, 24, 32})
            for (const char* counter : {"random", "low half wraps", "whole counter wraps"})
                for (const auto& [cut, calls] : cuts)
                    QTest::addRow("aes%d, %s, %s", keyLength * 8, counter, cut)
                        << keyLength << QByteArray(counter) << calls;
    }

    void matchesOpenSsl() {
        QFETCH(int, keyLength);
        QFETCH(QByteArray, counter);
        QFETCH(QList<int>, calls);
        QRandomGenerator random(static_cast<quint32>(qHash(QTest::currentDataTag())));
        const Bytes key = randomBytes(random, static_cast<size_t>(keyLength));
        const Bytes iv = ivWithCounter(random, counter);
        // Several times the key stream the library makes at once, and not a multiple of it.
        const Bytes data = randomBytes(random, 3 * 4096 * 5 + 1000);
        const Bytes expected = referenceCtr(key, iv, data);
        for (int encrypt : {1, 0}) {
            CipherContext ctx = started(key, iv, encrypt);
            QVERIFY(ctx);
            // The context must run this counter mode, not one OpenSSL fetched in its place.
            QVERIFY(!EVP_CIPHER_get0_provider(EVP_CIPHER_CTX_get0_cipher(ctx.get())));
            Bytes out(data.size());
            QVERIFY(crypt(ctx.get(), data, 0, data.size(), calls, out));
            QVERIFY2(out == expected, encrypt ? "encrypting" : "decrypting");
        }
    }

    // A context started without a counter, or started again with a new key, a new counter,
    // both or neither, goes on exactly as OpenSSL's own counter mode does: a new counter
    // starts there; without one, the counter goes on with the block after the last one used,
    // even a block used in part, also where that takes a borrow from the counter's high half.
    void startedAgain_data() {
        QTest::addColumn<QByteArray>("counter"); // the first counter
        QTest::addColumn<bool>("newKey");
        QTest::addColumn<bool>("newCounter");
        QTest::addColumn<int>("before"); // bytes through the context before it starts again
        const QList<QByteArray> counters = {"random", "low half about to wrap", "small low half",
                                            "none"};
        for (const QByteArray& counter : counters)
            for (int before : {0, 1000, 5007})
                for (bool newKey : {false, true})
                    for (bool newCounter : {false, true})
                        QTest::addRow("%s, %s%s after %d bytes", counter.constData(),
                                      newKey ? "new key" : "same key",
                                      newCounter ? ", new counter" : "", before)
                            << counter << newKey << newCounter << before;
    }

    void startedAgain() {
        QFETCH(QByteArray, counter);
        QFETCH(bool, newKey);
        QFETCH(bool, newCounter);
        QFETCH(int, before);
        QRandomGenerator random(static_cast<quint32>(qHash(QTest::currentDataTag())));
        const Bytes key = randomBytes(random, 16), key2 = randomBytes(random, 16);
        const Bytes iv = ivWithCounter(random, counter);
        const Bytes iv2 = randomBytes(random, 16);
        const Bytes data = randomBytes(random, 9000);

        // The same calls on this counter mode and on OpenSSL's own.
        const auto run = [&](const EVP_CIPHER* cipher, Bytes& out) {
            CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
            return EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(),
                                     counter == "none" ? nullptr : iv.data(), 1) == 1 &&
                   crypt(ctx.get(), data, 0, static_cast<size_t>(before), {16, 7}, out) &&
                   EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, newKey ? key2.data() : nullptr,
                                     newCounter ? iv2.data() : nullptr, -1) == 1 &&
                   crypt(ctx.get(), data, static_cast<size_t>(before), data.size(), {16, 4097},
                         out);
        };
        Bytes ours(data.size()), openssl(data.size());
        QVERIFY(run(tgputty::bulkCounterMode(16), ours));
        QVERIFY(run(EVP_aes_128_ctr(), openssl));
        QVERIFY(ours == openssl);
    }

    // A copy taken in the middle of the key stream goes on with its own state: both give the
    // rest of the stream, and freeing both frees each AES context once.
    void copyGoesOnAlone() {
        QRandomGenerator random(7);
        const Bytes key = randomBytes(random, 32);
        const Bytes iv = randomBytes(random, 16);
        const Bytes data = randomBytes(random, 20000);
        const Bytes expected = referenceCtr(key, iv, data);
        CipherContext ctx = started(key, iv, 1);
        QVERIFY(ctx);
        Bytes first(data.size()), second(data.size());
        QVERIFY(crypt(ctx.get(), data, 0, 1000, {16}, first));
        std::copy(first.begin(), first.begin() + 1000, second.begin());
        CipherContext copy(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
        QCOMPARE(EVP_CIPHER_CTX_copy(copy.get(), ctx.get()), 1);
        QVERIFY(crypt(ctx.get(), data, 1000, data.size(), {16}, first));
        ctx.reset();
        QVERIFY(crypt(copy.get(), data, 1000, data.size(), {333}, second));
        QVERIFY(first == expected);
        QVERIFY(second == expected);
    }

    // A new key that cannot be set leaves no key stream of the old key behind: the context
    // refuses to encrypt rather than go on with the old key.
    void failedNewKeyLeavesNothing() {
        QRandomGenerator random(11);
        const Bytes key = randomBytes(random, 16);
        const Bytes data = randomBytes(random, 64);
        CipherContext ctx = started(key, randomBytes(random, 16), 1);
        QVERIFY(ctx);
        Bytes out(data.size());
        QVERIFY(crypt(ctx.get(), data, 0, 16, {16}, out)); // the rest of the stream is made
        s_failBlockCipherInit = true;
        const Bytes newKey = randomBytes(random, 16);
        const int rekeyed = EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, newKey.data(), nullptr);
        s_failBlockCipherInit = false;
        QCOMPARE(rekeyed, 0);
        QVERIFY(!crypt(ctx.get(), data, 16, 32, {16}, out));
    }
};

QTEST_GUILESS_MAIN(TestCounterMode)
#include "tst_countermode.moc"
