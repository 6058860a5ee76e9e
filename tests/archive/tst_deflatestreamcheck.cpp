#include "archive/DeflateBlockPacker.h"
#include "archive/DeflateStreamCheck.h"

#include <QRandomGenerator>
#include <QtTest>

#include <libdeflate.h>
#include <optional>
#include <zlib.h>

// The stream check must agree with zlib on every stream: where the final block begins and where
// the stream ends, or that there is no complete stream at all.

namespace {

// zlib's own answer: inflating with Z_BLOCK stops before each block's header, so the last stop
// before the end of the stream is the final block's header.
std::optional<DeflateFinalBlock> zlibFinalBlock(const QByteArray& stream,
                                                QByteArray* failure = nullptr) {
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    auto* const start = reinterpret_cast<Bytef*>(const_cast<char*>(stream.constData()));
    zs.next_in = start;
    zs.avail_in = uInt(stream.size());
    QByteArray out(1 << 16, '\0');
    size_t header = 0; // a raw inflater reads the first header without stopping
    std::optional<DeflateFinalBlock> found;
    for (;;) {
        zs.next_out = reinterpret_cast<Bytef*>(out.data());
        zs.avail_out = uInt(out.size());
        const int rc = inflate(&zs, Z_BLOCK);
        const size_t position = size_t(zs.next_in - start) * 8 - size_t(zs.data_type & 7);
        // After the final block's end code it stops at the boundary (64: that block was the last).
        if (rc == Z_STREAM_END || (rc == Z_OK && (zs.data_type & 192) == 192)) {
            found = DeflateFinalBlock{header, position};
            break;
        }
        if (rc != Z_OK || (zs.avail_in == 0 && zs.avail_out != 0)) {
            if (failure)
                *failure = zs.msg ? zs.msg : "cut short";
            break;
        }
        if (zs.data_type & 128)
            header = position;
    }
    inflateEnd(&zs);
    return found;
}

QByteArray zlibDeflate(const QByteArray& data, int level, int strategy, int flushEvery = 0) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, strategy) != Z_OK)
        return {};
    QByteArray out;
    QByteArray buffer(1 << 16, '\0');
    qsizetype at = 0;
    for (;;) {
        const qsizetype n =
            flushEvery > 0 ? std::min<qsizetype>(flushEvery, data.size() - at) : data.size() - at;
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData() + at));
        zs.avail_in = uInt(n);
        at += n;
        const int flush = at == data.size() ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer.data());
            zs.avail_out = uInt(buffer.size());
            deflate(&zs, flush);
            out.append(buffer.constData(), buffer.size() - qsizetype(zs.avail_out));
        } while (zs.avail_out == 0);
        if (flush == Z_FINISH)
            break;
    }
    deflateEnd(&zs);
    return out;
}

QByteArray libdeflate(const QByteArray& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    QByteArray out(qsizetype(libdeflate_deflate_compress_bound(c, size_t(data.size()))), '\0');
    out.resize(qsizetype(libdeflate_deflate_compress(c, data.constData(), size_t(data.size()),
                                                     out.data(), size_t(out.size()))));
    libdeflate_free_compressor(c);
    return out;
}

// Rows of a table with stretches of noise in between: blocks of every kind of code.
QByteArray content(qsizetype size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray data;
    for (int row = 0; data.size() < size; ++row) {
        if (row % 50 == 49) {
            for (int i = 0; i < 2000; ++i)
                data += char(rng.bounded(256));
        }
        data += "Kunde " + QByteArray::number(row) + ";Müller;" +
                QByteArray::number(rng.bounded(100000)) + "\r\n";
    }
    data.truncate(size);
    return data;
}

// Writes bits from each byte's lowest bit on, for streams made by hand.
class BitWriter {
public:
    void put(quint32 value, int bits) {
        for (int i = 0; i < bits; ++i, ++m_bit) {
            if (m_bit % 8 == 0)
                m_bytes += '\0';
            if ((value >> i) & 1)
                m_bytes[m_bytes.size() - 1] = char(m_bytes.back() | (1 << (m_bit % 8)));
        }
    }
    // A Huffman code: sent from its highest bit on.
    void code(quint32 value, int bits) {
        for (int i = bits - 1; i >= 0; --i)
            put((value >> i) & 1, 1);
    }
    QByteArray bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
    int m_bit = 0;
};

// A dynamic block's header up to the code length code: final, dynamic, 257 + `extraLiterals`
// literal codes, one distance code, then `lengths` as the code length code's lengths in the
// order they are sent; then `codeLengths` (bits as sent) and room for a few symbols.
QByteArray dynamicHeader(const QList<int>& lengths, int extraLiterals = 0,
                         const QList<std::pair<quint32, int>>& codeLengths = {}) {
    BitWriter w;
    w.put(1, 1);
    w.put(2, 2);
    w.put(quint32(extraLiterals), 5);
    w.put(0, 5);
    w.put(quint32(lengths.size() - 4), 4);
    for (int l : lengths)
        w.put(quint32(l), 3);
    for (const auto& [bits, count] : codeLengths)
        w.put(bits, count);
    w.put(0, 32);
    return w.bytes();
}

// A fixed-code block by hand: literals and matches as the format encodes them, and the bytes
// they stand for.
class FixedBlock {
public:
    void literal(unsigned char byte) {
        if (byte < 144)
            m_bits.code(0x30 + byte, 8);
        else
            m_bits.code(0x190 + byte - 144, 9);
        m_data += char(byte);
    }
    void match(int length, int distance) {
        static const int lengthBase[] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                         15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                         67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const int distanceBase[] = {
            1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
            193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        int l = 28;
        while (lengthBase[l] > length)
            --l;
        const int symbol = 257 + l;
        if (symbol < 280)
            m_bits.code(quint32(symbol - 256), 7);
        else
            m_bits.code(quint32(0xC0 + symbol - 280), 8);
        m_bits.put(quint32(length - lengthBase[l]), l == 28 ? 0 : std::max(0, (l - 4) / 4));
        int d = 29;
        while (distanceBase[d] > distance)
            --d;
        m_bits.code(quint32(d), 5);
        m_bits.put(quint32(distance - distanceBase[d]), std::max(0, (d - 2) / 2));
        for (int i = 0; i < length; ++i)
            m_data += m_data[m_data.size() - distance];
    }
    // The stream: this one final block, ended.
    QByteArray stream() {
        BitWriter w = m_bits;
        w.code(0, 7); // end of block
        return w.bytes();
    }
    QByteArray data() const { return m_data; }
    FixedBlock() {
        m_bits.put(1, 1); // final
        m_bits.put(1, 2); // fixed codes
    }

private:
    BitWriter m_bits;
    QByteArray m_data;
};

// One code length as sent: its symbol (0 to 18) and the value and count of its extra bits.
struct CodeLength {
    int symbol;
    quint32 extra;
    int extraBits;
};

// The canonical Huffman codes of `lengths`, by symbol.
QList<quint32> canonicalCodes(const QList<int>& lengths) {
    QList<int> perLength(16, 0);
    for (int l : lengths)
        if (l > 0)
            ++perLength[l];
    QList<quint32> next(16, 0);
    quint32 code = 0;
    for (int len = 1; len < 16; ++len) {
        code = (code + quint32(perLength[len - 1])) << 1;
        next[len] = code;
    }
    QList<quint32> codes(lengths.size(), 0);
    for (qsizetype s = 0; s < lengths.size(); ++s)
        if (lengths[s] > 0)
            codes[s] = next[lengths[s]]++;
    return codes;
}

// A final dynamic block by hand that holds only its end code, with `distanceCount` distance
// codes: `literals` are the literal and length code's lengths, sent one by one after the
// repeats of three in `first`; then the distance code's lengths as `distances`. At most four code
// length symbols may be in use.
QByteArray dynamicBlock(const QList<int>& literals, const QList<CodeLength>& distances,
                        int distanceCount = 1, const QList<CodeLength>& first = {}) {
    QList<CodeLength> sent = first;
    for (int l : literals)
        sent.append({l, 0, 0});
    sent += distances;
    const int literalCount = int(literals.size()) + 3 * int(first.size());
    // The symbols in use, filled up with others to four: a complete code of two bits each.
    QList<int> symbols;
    for (const CodeLength& c : sent)
        if (!symbols.contains(c.symbol))
            symbols.append(c.symbol);
    for (int filler = 0; symbols.size() < 4; ++filler)
        if (!symbols.contains(filler))
            symbols.append(filler);
    QList<int> codeLengthLengths(19, 0);
    for (int symbol : symbols)
        codeLengthLengths[symbol] = 2;
    const QList<quint32> codeLengthCodes = canonicalCodes(codeLengthLengths);
    BitWriter w;
    w.put(1, 1);
    w.put(2, 2);
    w.put(quint32(literalCount - 257), 5);
    w.put(quint32(distanceCount - 1), 5);
    w.put(19 - 4, 4);
    static const int order[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int symbol : order)
        w.put(quint32(codeLengthLengths[symbol]), 3);
    for (const CodeLength& c : sent) {
        w.code(codeLengthCodes[c.symbol], 2);
        w.put(c.extra, c.extraBits);
    }
    const QList<int> literalLengths = QList<int>(first.size() * 3, literals.value(0)) + literals;
    w.code(canonicalCodes(literalLengths).value(256), literalLengths.value(256));
    w.put(0, 7); // the rest of the byte
    return w.bytes();
}

} // namespace

class TestDeflateStreamCheck : public QObject {
    Q_OBJECT
private slots:
    void agreesWithZlib_data();
    void agreesWithZlib();
    void agreesWithZlibOnEveryFlippedBit();
    void checkFindsWhatTheStreamStandsFor_data();
    void checkFindsWhatTheStreamStandsFor();
    void checkAgreesWithZlibOnEveryFlippedBit();
    void checkFindsEveryChangedByte();
    void checkReadsEveryLengthAndDistance();
    void packerJoinsPiecesEndingAtEveryBit();
    void packerRefuses_data();
    void packerRefuses();
};

void TestDeflateStreamCheck::agreesWithZlib_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("complete");

    const QByteArray text = content(300000, 1);
    const QByteArray big = content(1 << 20, 2);
    const QByteArray lib6 = libdeflate(big, 6);
    QTest::newRow("libdeflate 6, a block of the packing") << lib6 << true;
    QTest::newRow("libdeflate 1") << libdeflate(big, 1) << true;
    QTest::newRow("libdeflate 12") << libdeflate(text, 12) << true;
    QTest::newRow("zlib 6, one dynamic block") << zlibDeflate(text.left(5000), 6, 0) << true;
    QTest::newRow("zlib fixed codes") << zlibDeflate(text, 6, Z_FIXED) << true;
    QTest::newRow("zlib stored blocks") << zlibDeflate(text, 0, 0) << true;
    QTest::newRow("zlib Huffman only") << zlibDeflate(text, 6, Z_HUFFMAN_ONLY) << true;
    QTest::newRow("zlib sync flushes: empty stored blocks between")
        << zlibDeflate(text, 6, 0, 7777) << true;
    QTest::newRow("empty stream") << zlibDeflate({}, 6, 0) << true;
    QTest::newRow("one byte") << zlibDeflate("x", 6, 0) << true;
    QTest::newRow("stream then other bytes") << lib6 + QByteArray(40, '\xA5') << true;

    QTest::newRow("cut by a byte") << lib6.chopped(1) << false;
    QTest::newRow("cut in half") << lib6.left(lib6.size() / 2) << false;
    QTest::newRow("nothing") << QByteArray() << false;
    QTest::newRow("block type 3") << QByteArray("\x07\x00", 2) << false;
    QTest::newRow("stored, length and complement disagree") << QByteArray("\x01\x05\x00\xFA\xFE"
                                                                          "abcde",
                                                                          10)
                                                            << false;
    QTest::newRow("stored, longer than the data") << QByteArray("\x01\x05\x00\xFA\xFF"
                                                                "ab",
                                                                7)
                                                  << false;
    QTest::newRow("code length code over-subscribed") << dynamicHeader(QList<int>(19, 1)) << false;
    QTest::newRow("code length code incomplete") << dynamicHeader({0, 0, 0, 1}) << false;
    // Headers zlib refuses that are sound in every other way, each beside its sound twin.
    const QList<int> lengths286 = QList<int>(226, 8) + QList<int>(60, 9);
    const QList<int> lengths287 = QList<int>(225, 8) + QList<int>(62, 9);
    const QList<int> lengths257 = QList<int>(255, 8) + QList<int>(2, 9);
    const QList<CodeLength> oneDistance{{1, 0, 0}};
    QTest::newRow("286 literal codes") << dynamicBlock(lengths286, oneDistance) << true;
    QTest::newRow("287 literal codes") << dynamicBlock(lengths287, oneDistance) << false;
    QTest::newRow("no distance code") << dynamicBlock(lengths257, {{0, 0, 0}}) << true;
    QTest::newRow("zeros repeated past the last code")
        << dynamicBlock(lengths257, {{17, 0, 3}}) << false;
    QTest::newRow("a repeat of the previous length first")
        << dynamicBlock(lengths257.mid(3), {{0, 0, 0}}, 1, {{16, 0, 2}}) << false;
}

void TestDeflateStreamCheck::agreesWithZlib() {
    QFETCH(QByteArray, stream);
    QFETCH(bool, complete);
    const std::optional<DeflateFinalBlock> expected = zlibFinalBlock(stream);
    QCOMPARE(expected.has_value(), complete); // the case is what it claims to be

    DeflateStreamCheck streamCheck;
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.constData());
    const std::optional<DeflateFinalBlock> found = streamCheck.find(bytes, size_t(stream.size()));
    QCOMPARE(found.has_value(), complete);
    if (complete) {
        QCOMPARE(found->headerBit, expected->headerBit);
        QCOMPARE(found->endBit, expected->endBit);
        QVERIFY((bytes[found->headerBit / 8] >> (found->headerBit % 8)) & 1);
    }
    // The check keeps its tables from stream to stream.
    QCOMPARE(streamCheck.find(bytes, size_t(stream.size())).has_value(), complete);
}

// Damage anywhere in the codes or the data: wherever zlib still reads a whole stream, the check
// finds the same final block, and wherever zlib gives up, so does the check. The one thing
// only zlib sees is a distance reaching before the start, which is about the content.
void TestDeflateStreamCheck::agreesWithZlibOnEveryFlippedBit() {
    const QByteArray data = content(6000, 3);
    const QByteArray streams[] = {zlibDeflate(data, 6, 0, 2500), libdeflate(data, 6)};
    DeflateStreamCheck streamCheck;
    int refused = 0;
    for (const QByteArray& original : streams) {
        for (qsizetype bit = 0; bit < original.size() * 8; ++bit) {
            QByteArray stream = original;
            stream[bit / 8] = char(stream[bit / 8] ^ (1 << (bit % 8)));
            QByteArray failure;
            const std::optional<DeflateFinalBlock> expected = zlibFinalBlock(stream, &failure);
            const auto found = streamCheck.find(reinterpret_cast<const unsigned char*>(stream.data()),
                                           size_t(stream.size()));
            if (failure == "invalid distance too far back")
                continue;
            const QByteArray where = "bit " + QByteArray::number(bit) + ": " + failure;
            QVERIFY2(found.has_value() == expected.has_value(), where.constData());
            if (found) {
                QVERIFY2(found->headerBit == expected->headerBit, where.constData());
                QVERIFY2(found->endBit == expected->endBit, where.constData());
            } else {
                ++refused;
            }
        }
    }
    QVERIFY(refused > 0);
}

namespace {

// zlib's inflation of a whole raw stream, or an empty array with `ok` false.
QByteArray zlibInflate(const QByteArray& stream, bool& ok) {
    z_stream zs{};
    inflateInit2(&zs, -MAX_WBITS);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.constData()));
    zs.avail_in = uInt(stream.size());
    QByteArray out;
    QByteArray buffer(1 << 16, '\0');
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer.data());
        zs.avail_out = uInt(buffer.size());
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buffer.constData(), buffer.size() - qsizetype(zs.avail_out));
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0)
            break;
    }
    ok = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return out;
}

// Compresses `data` as one piece; `last` keeps its final bit. Empty text when it passed.
QString pack(DeflateBlockPacker& packer, const QByteArray& data, bool last, QByteArray& piece) {
    piece.resize(qsizetype(DeflateBlockPacker::outputBound(size_t(data.size()))));
    size_t size =
        packer.compress(data.constData(), size_t(data.size()), piece.data(), size_t(piece.size()));
    const QString problem = packer.verifyAndJoin(data.constData(), size_t(data.size()),
                                                 piece.data(), size, size_t(piece.size()), last);
    piece.resize(qsizetype(size));
    return problem;
}

} // namespace

Q_DECLARE_METATYPE(DeflateContent)

// The check compares what a stream stands for with the data as it goes: each way a stream can
// stand for other data is told apart, and where the walk stopped.
void TestDeflateStreamCheck::checkFindsWhatTheStreamStandsFor_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<DeflateContent>("content");

    const QByteArray text = content(300000, 5);
    const QByteArray lib6 = libdeflate(text, 6);
    QByteArray changed = text;
    changed[200000] = char(changed[200000] ^ 0x01);
    QTest::newRow("libdeflate 6") << lib6 << text << DeflateContent::Equal;
    QTest::newRow("zlib fixed codes")
        << zlibDeflate(text, 6, Z_FIXED) << text << DeflateContent::Equal;
    QTest::newRow("zlib stored blocks") << zlibDeflate(text, 0, 0) << text << DeflateContent::Equal;
    QTest::newRow("zlib sync flushes")
        << zlibDeflate(text, 6, 0, 7777) << text << DeflateContent::Equal;
    QTest::newRow("empty stream, no data")
        << zlibDeflate({}, 6, 0) << QByteArray() << DeflateContent::Equal;
    QTest::newRow("one byte of the data differs") << lib6 << changed << DeflateContent::Differs;
    QTest::newRow("a stored byte differs")
        << zlibDeflate(text, 0, 0) << changed << DeflateContent::Differs;
    QTest::newRow("the data is a byte shorter")
        << lib6 << text.chopped(1) << DeflateContent::Longer;
    QTest::newRow("the data is a byte longer") << lib6 << text + 'x' << DeflateContent::Shorter;
    QTest::newRow("stored blocks, data shorter")
        << zlibDeflate(text, 0, 0) << text.left(70000) << DeflateContent::Longer;
    QTest::newRow("cut stream") << lib6.left(lib6.size() / 2) << text << DeflateContent::NotAStream;
    FixedBlock abc;
    for (char c : QByteArray("abc"))
        abc.literal(uchar(c));
    abc.match(6, 3);
    QTest::newRow("the data ends inside a match")
        << abc.stream() << abc.data().left(7) << DeflateContent::Longer;

    // A fixed block that begins with a match: length 3, distance 1, before any byte.
    BitWriter w;
    w.put(1, 1);
    w.put(1, 2);
    w.code(1, 7); // length 3
    w.code(0, 5); // distance 1
    w.code(0, 7); // end of block
    QTest::newRow("a match before the first byte")
        << w.bytes() << QByteArray("aaa") << DeflateContent::BeforeStart;
}

void TestDeflateStreamCheck::checkFindsWhatTheStreamStandsFor() {
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, expected);
    QFETCH(DeflateContent, content);
    DeflateStreamCheck streamCheck;
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.constData());
    const DeflateContentCheck found = streamCheck.check(
        bytes, size_t(stream.size()), reinterpret_cast<const unsigned char*>(expected.constData()),
        size_t(expected.size()));
    QCOMPARE(found.content, content);
    if (content == DeflateContent::Equal || content == DeflateContent::Shorter) {
        const std::optional<DeflateFinalBlock> expectedEnd = zlibFinalBlock(stream);
        QVERIFY(expectedEnd);
        QCOMPARE(found.end.headerBit, expectedEnd->headerBit);
        QCOMPARE(found.end.endBit, expectedEnd->endBit);
    }
    if (content == DeflateContent::Equal)
        QCOMPARE(found.inflated, size_t(expected.size()));
    if (content == DeflateContent::Shorter)
        QCOMPARE(found.inflated, size_t(expected.size() - 1));
    if (content == DeflateContent::Differs) // stopped before the byte that differs
        QVERIFY(found.inflated <= 200000);
}

// The check passes a damaged stream exactly when zlib inflates the whole of it to the very
// data: a flipped bit that changes what the stream stands for, or makes it unreadable, is
// refused, and one that changes nothing zlib reads (an unused bit) passes.
void TestDeflateStreamCheck::checkAgreesWithZlibOnEveryFlippedBit() {
    const QByteArray data = content(6000, 3);
    const QByteArray streams[] = {zlibDeflate(data, 6, 0, 2500), libdeflate(data, 6),
                                  zlibDeflate(data.left(900), 0, 0)};
    const QByteArray wanted[] = {data, data, data.left(900)};
    DeflateStreamCheck streamCheck;
    int refused = 0;
    int passed = 0;
    for (int s = 0; s < 3; ++s) {
        const QByteArray& original = streams[s];
        const QByteArray& expected = wanted[s];
        for (qsizetype bit = 0; bit < original.size() * 8; ++bit) {
            QByteArray stream = original;
            stream[bit / 8] = char(stream[bit / 8] ^ (1 << (bit % 8)));
            bool ok = false;
            const bool zlibGivesData = zlibInflate(stream, ok) == expected && ok;
            const DeflateContentCheck found = streamCheck.check(
                reinterpret_cast<const unsigned char*>(stream.constData()), size_t(stream.size()),
                reinterpret_cast<const unsigned char*>(expected.data()), size_t(expected.size()));
            const bool checkPasses = found.content == DeflateContent::Equal &&
                                     (found.end.endBit + 7) / 8 == size_t(stream.size());
            const QByteArray where =
                "stream " + QByteArray::number(s) + ", bit " + QByteArray::number(bit);
            QVERIFY2(checkPasses == zlibGivesData, where.constData());
            ++(checkPasses ? passed : refused);
        }
    }
    QVERIFY(refused > 0);
    QVERIFY(passed > 0);
}

// Whichever byte of the data differs from what the stream stands for, literal or inside a
// match of any length, the check finds it and stops before it.
void TestDeflateStreamCheck::checkFindsEveryChangedByte() {
    const QByteArray data = content(6000, 3);
    const QByteArray stream = libdeflate(data, 6);
    DeflateStreamCheck streamCheck;
    for (qsizetype i = 0; i < data.size(); ++i) {
        QByteArray changed = data;
        changed[i] = char(changed[i] ^ 0x20);
        const DeflateContentCheck found = streamCheck.check(
            reinterpret_cast<const unsigned char*>(stream.constData()), size_t(stream.size()),
            reinterpret_cast<const unsigned char*>(changed.constData()), size_t(changed.size()));
        const QByteArray where = "byte " + QByteArray::number(i);
        QVERIFY2(found.content == DeflateContent::Differs, where.constData());
        QVERIFY2(found.inflated <= size_t(i), where.constData());
    }
}

// Every length and both ends of every distance code's range, with their extra bits: the check
// must read each as the format means it (zlib reads the same stream as the same bytes).
void TestDeflateStreamCheck::checkReadsEveryLengthAndDistance() {
    FixedBlock block;
    QRandomGenerator rng(11);
    for (int i = 0; i < 32768; ++i)
        block.literal(uchar(rng.bounded(256)));
    QList<int> distances;
    for (int extra = 0, base = 1; base <= 32768; ++extra) {
        for (int k = 0; k < (extra == 0 ? 4 : 2) && base <= 32768; ++k) {
            const int width = 1 << extra;
            distances << base << base + width - 1;
            base += width;
        }
    }
    for (int length = 3; length <= 258; ++length)
        block.match(length, distances[length % distances.size()]);
    for (int i = 0; i < distances.size(); ++i)
        block.match(3 + i % 256, distances[i]);
    const QByteArray stream = block.stream();
    const QByteArray data = block.data();
    bool ok = false;
    QVERIFY(zlibInflate(stream, ok) == data && ok); // the block is what it claims to be

    DeflateStreamCheck streamCheck;
    const DeflateContentCheck found = streamCheck.check(
        reinterpret_cast<const unsigned char*>(stream.constData()), size_t(stream.size()),
        reinterpret_cast<const unsigned char*>(data.constData()), size_t(data.size()));
    QCOMPARE(found.content, DeflateContent::Equal);
    QCOMPARE(found.inflated, size_t(data.size()));
}

// However many bits of its last byte a piece uses, the piece after it continues one stream that
// zlib reads back whole: the empty stored block goes into the byte's free bits or a byte of
// its own.
void TestDeflateStreamCheck::packerJoinsPiecesEndingAtEveryBit() {
    DeflateBlockPacker packer(6, 1 << 16);
    DeflateStreamCheck streamCheck;
    const QByteArray tail = content(20000, 9);
    QList<bool> seen(8, false);
    for (int n = 1; seen.contains(false); ++n) {
        QVERIFY2(n < 2000, "no input ends its stream at some bit of a byte");
        const QByteArray head = content(n, quint32(n));
        QByteArray alone(qsizetype(DeflateBlockPacker::outputBound(size_t(n))), '\0');
        const size_t size =
            packer.compress(head.constData(), size_t(n), alone.data(), size_t(alone.size()));
        const auto end =
            streamCheck.find(reinterpret_cast<const unsigned char*>(alone.constData()), size);
        QVERIFY(end);
        const int used = int(end->endBit % 8);
        if (seen[used])
            continue;
        seen[used] = true;

        QByteArray first, second;
        QCOMPARE(pack(packer, head, false, first), QString());
        QCOMPARE(pack(packer, tail, true, second), QString());
        bool ok = false;
        const QByteArray back = zlibInflate(first + second, ok);
        QVERIFY2(ok, qPrintable(QStringLiteral("ending at bit %1").arg(used)));
        QVERIFY(back == head + tail);
    }
}

// What the check must refuse even though libdeflate alone would inflate it.
void TestDeflateStreamCheck::packerRefuses_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("piece"); // replaces the compressed piece
    QTest::addColumn<bool>("last");

    // A stored block of 30000 'a', then a fixed block: 'b', a match of length 3 with distance
    // code 30, which zlib refuses and libdeflate 1.14 takes (as 24577 back), and the end code.
    BitWriter w;
    w.put(0, 3);
    w.put(0, 5);
    w.put(30000, 16);
    w.put(30000 ^ 0xFFFF, 16);
    for (int i = 0; i < 30000; ++i)
        w.put('a', 8);
    w.put(1, 1);
    w.put(1, 2);
    w.code(0x30 + 'b', 8);
    w.code(1, 7);  // length 3
    w.code(30, 5); // distance code 30
    w.put(0, 13);
    w.code(0, 7); // end of block
    const QByteArray lenient = w.bytes();
    const QByteArray input = QByteArray(30000, 'a') + 'b' + "aaa";
    QTest::newRow("distance code 30, last piece") << input << lenient << true;
    QTest::newRow("distance code 30, joined piece") << input << lenient << false;

    const QByteArray text = content(5000, 4);
    const QByteArray whole = libdeflate(text, 6);
    QTest::newRow("a byte after the stream, last piece") << text << whole + 'x' << true;
    QTest::newRow("a byte after the stream, joined piece") << text << whole + 'x' << false;
}

void TestDeflateStreamCheck::packerRefuses() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, piece);
    QFETCH(bool, last);
    DeflateBlockPacker packer(6, 1 << 16);
    QByteArray buffer = piece;
    buffer.resize(piece.size() + qsizetype(DeflateBlockPacker::joinRoom));
    size_t size = size_t(piece.size());
    const QString problem = packer.verifyAndJoin(input.constData(), size_t(input.size()),
                                                 buffer.data(), size, size_t(buffer.size()), last);
    QVERIFY2(!problem.isEmpty(), "a piece zlib cannot read passed the check");
}

QTEST_GUILESS_MAIN(TestDeflateStreamCheck)
#include "tst_deflatestreamcheck.moc"
