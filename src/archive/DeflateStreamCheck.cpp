#include "archive/DeflateStreamCheck.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

using Table = DeflateStreamCheck::Table;

constexpr int maxCodeLength = 15;
constexpr int endOfBlock = 256;
constexpr int firstLength = 257;
constexpr int lengthSymbols = 29;   // 257 … 285; 286 and 287 never occur
constexpr int distanceSymbols = 30; // 0 … 29; 30 and 31 never occur
constexpr int codeLengthSymbols = 19;

constexpr std::array<uint8_t, lengthSymbols> lengthExtraBits{
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint8_t, distanceSymbols> distanceExtraBits{
    0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint16_t, lengthSymbols> lengthBase{
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint16_t, distanceSymbols> distanceBase{
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, codeLengthSymbols> codeLengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};

// Codes up to this long are looked up at once; longer ones, which are rare by their nature, are
// decoded a bit at a time. This keeps each table within the first-level cache.
constexpr int lookupBits = 11;

// Kinds of table entries; 0 is a code that must not occur. `Long`: the code is longer than the
// table and decoded a bit at a time.
// Each kind is a bit of its own, so that a walk tests an entry's kind with one instruction.
enum Kind : uint32_t { Invalid = 0, Literal = 1, Match = 2, End = 4, Long = 8 };

// An entry: the bits the symbol takes with its extra bits (0-7), its kind (8-11), the length of
// its code alone (12-15) and its value (16-31): a literal's byte, a length's or a distance's
// base (to which its extra bits are added), a code length symbol.
constexpr uint32_t entry(uint32_t value, Kind kind, uint32_t codeLength, uint32_t extraBits) {
    return value << 16 | codeLength << 12 | uint32_t(kind) << 8 | (codeLength + extraBits);
}
constexpr bool is(uint32_t e, Kind kind) {
    return (e & uint32_t(kind) << 8) != 0;
}
constexpr bool isInvalid(uint32_t e) {
    return (e & 0xF00) == 0;
}
constexpr int bitsOf(uint32_t e) {
    return int(e & 0xFF);
}
constexpr int codeLengthOf(uint32_t e) {
    return int((e >> 12) & 0xF);
}
constexpr uint32_t valueOf(uint32_t e) {
    return e >> 16;
}
// A length's or a distance's value: its base plus the extra bits after its code in `bits`.
constexpr uint32_t amountOf(uint32_t e, uint64_t bits) {
    const int extra = bitsOf(e) - codeLengthOf(e);
    return valueOf(e) + uint32_t((bits >> codeLengthOf(e)) & ((uint64_t(1) << extra) - 1));
}

// What a symbol's entry says, by alphabet.
uint32_t literalEntry(int symbol, int codeLength) {
    const auto length = uint32_t(codeLength);
    if (symbol < endOfBlock)
        return entry(uint32_t(symbol), Literal, length, 0);
    if (symbol == endOfBlock)
        return entry(0, End, length, 0);
    if (symbol < firstLength + lengthSymbols) {
        const auto at = size_t(symbol - firstLength);
        return entry(lengthBase[at], Match, length, lengthExtraBits[at]);
    }
    return 0;
}
uint32_t distanceEntry(int symbol, int codeLength) {
    if (symbol < distanceSymbols)
        return entry(distanceBase[size_t(symbol)], Match, uint32_t(codeLength),
                     distanceExtraBits[size_t(symbol)]);
    return 0;
}
uint32_t codeLengthEntry(int symbol, int codeLength) {
    return entry(uint32_t(symbol), Literal, uint32_t(codeLength), 0);
}

// Fills `table` with the canonical Huffman code of `lengths`. False when the code is
// over-subscribed, or incomplete where zlib refuses it: everywhere but a literal or distance
// code of a single one-bit symbol. A code without symbols gives a table that refuses every
// code, as zlib's does (a block without matches may send no distance code).
bool build(Table& table, const uint8_t* lengths, int count, uint32_t (*entryOf)(int, int),
           bool singleAllowed = true) {
    std::array<int, maxCodeLength + 1> perLength{};
    for (int s = 0; s < count; ++s)
        ++perLength[lengths[s]];
    perLength[0] = 0;
    int longest = 0;
    int left = 1;
    for (int len = 1; len <= maxCodeLength; ++len) {
        left = left * 2 - perLength[size_t(len)];
        if (left < 0)
            return false;
        if (perLength[size_t(len)] > 0)
            longest = len;
    }
    if (longest == 0) {
        table.bits = 0;
        table.entries.assign(1, 0);
        return true;
    }
    if (left > 0 && (longest != 1 || !singleAllowed))
        return false;

    table.bits = std::min(longest, lookupBits);
    table.entries.assign(size_t(1) << table.bits, 0);
    table.sorted.clear();
    std::copy(perLength.begin(), perLength.end(), table.counts.begin());
    std::array<uint32_t, maxCodeLength + 2> next{};
    for (int len = 1; len <= maxCodeLength; ++len)
        next[size_t(len + 1)] = (next[size_t(len)] + uint32_t(perLength[size_t(len)])) << 1;
    for (int len = 1; len <= longest; ++len) {
        for (int s = 0; s < count; ++s) {
            if (lengths[s] != len)
                continue;
            const uint32_t e = entryOf(s, len);
            table.sorted.push_back(e);
            const uint32_t code = next[size_t(len)]++;
            // Huffman codes are sent from their highest bit on, into a stream read from each
            // byte's lowest bit, so the table is indexed by the code's bits in reverse.
            uint32_t reversed = 0;
            for (int b = 0; b < len; ++b)
                reversed |= ((code >> b) & 1u) << (len - 1 - b);
            if (len > table.bits) {
                table.entries[reversed & ((1u << table.bits) - 1)] = entry(0, Long, 0, 0);
                continue;
            }
            for (size_t i = reversed; i < table.entries.size(); i += size_t(1) << len)
                table.entries[i] = e;
        }
    }
    return true;
}

struct FixedTables {
    Table literals;
    Table distances;
    FixedTables() {
        std::array<uint8_t, 288> lit{};
        for (size_t s = 0; s < lit.size(); ++s)
            lit[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        std::array<uint8_t, 32> dist{};
        dist.fill(5);
        build(literals, lit.data(), int(lit.size()), literalEntry);
        build(distances, dist.data(), int(dist.size()), distanceEntry);
    }
};

const FixedTables& fixedTables() {
    static const FixedTables tables;
    return tables;
}

// Reads the stream from each byte's lowest bit on. Past the data it reads zero bits and counts
// them, so a cut stream ends the walk instead of reading beyond the buffer.
class BitReader {
public:
    BitReader(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}

    // At least 56 bits ready. False once more bits were taken than the data holds.
    bool refill() {
        if (m_pos + 8 <= m_size) {
            uint64_t word;
            std::memcpy(&word, m_data + m_pos, 8);
            m_bits |= le64(word) << m_count;
            m_pos += (63 - m_count) >> 3;
            m_count |= 56;
            return true;
        }
        if (overrun())
            return false;
        while (m_count <= 56) {
            const uint64_t byte = m_pos < m_size ? m_data[m_pos] : 0;
            ++m_pos;
            m_bits |= byte << m_count;
            m_count += 8;
        }
        return true;
    }
    uint64_t peek() const { return m_bits; }
    void skip(int n) {
        m_bits >>= n;
        m_count -= n;
    }
    uint32_t take(int n) {
        const auto v = uint32_t(m_bits & ((uint64_t(1) << n) - 1));
        skip(n);
        return v;
    }
    size_t position() const { return m_pos * 8 - size_t(m_count); }
    size_t size() const { return m_size; }
    bool overrun() const { return position() > m_size * 8; }
    // Starts reading afresh at byte `byte`.
    void seek(size_t byte) {
        m_pos = byte;
        m_bits = 0;
        m_count = 0;
    }

private:
    static uint64_t le64(uint64_t v) {
        if constexpr (std::endian::native == std::endian::little)
            return v;
        else
            return __builtin_bswap64(v);
    }
    const unsigned char* m_data;
    size_t m_size;
    size_t m_pos = 0;
    uint64_t m_bits = 0;
    int m_count = 0;
};

// The entry of the code at the start of `bits`, a bit at a time (the canonical code's codes of
// each length are consecutive numbers).
[[gnu::noinline]] uint32_t decodeLong(const Table& table, uint64_t bits) {
    uint32_t code = 0;
    uint32_t first = 0;
    uint32_t index = 0;
    for (int len = 1; len <= maxCodeLength; ++len) {
        code |= uint32_t(bits & 1);
        bits >>= 1;
        const uint32_t count = table.counts[size_t(len)];
        if (code - first < count)
            return table.sorted[index + code - first];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return 0;
}

// Looks up the entry of the code at the start of the bits: a table's entries and the mask of
// the bits that index them, held in registers during a walk.
struct Lookup {
    const Table& table;
    const uint32_t* entries;
    uint64_t mask;
    explicit Lookup(const Table& t)
        : table(t), entries(t.entries.data()), mask((uint64_t(1) << t.bits) - 1) {}
    [[gnu::always_inline]] uint32_t operator()(uint64_t bits) const {
        const uint32_t e = entries[bits & mask];
        return is(e, Long) ? decodeLong(table, bits) : e;
    }
};

// Where the walk stands in the data the stream must inflate to. `Walk` only: the codes are read,
// nothing is compared.
struct Content {
    const unsigned char* expected = nullptr;
    size_t size = 0;
    size_t at = 0; // bytes found equal so far
    DeflateContent problem = DeflateContent::NotAStream;
};

enum class Mode { Walk, Compare };

// Whether `length` bytes at `a` equal those at `b`; they may overlap. Both lie within the data.
[[gnu::always_inline]] inline bool sameBytes(const unsigned char* a, const unsigned char* b,
                                             size_t length) {
    if (length >= 8) {
        size_t i = 0;
        for (; i + 8 <= length; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return false;
        }
        if (i == length)
            return true;
        uint64_t x, y; // the last eight, overlapping what was compared
        std::memcpy(&x, a + length - 8, 8);
        std::memcpy(&y, b + length - 8, 8);
        return x == y;
    }
    // Matches are at least three bytes long.
    if (length >= 4) {
        uint32_t x, y, u, v;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        std::memcpy(&u, a + length - 4, 4);
        std::memcpy(&v, b + length - 4, 4);
        return x == y && u == v;
    }
    for (size_t i = 0; i < length; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Reads one compressed block's symbols up to its end code. The longest symbol with its extra
// bits takes 15 + 5 bits and its distance 15 + 13, both within one refill; so do two literals.
// With `Compare`, each symbol is compared with the data at once.
template <Mode M>
bool walkCodes(BitReader& reader, const Table& literals, const Table& distances, Content& c) {
    // Copies of their own keep the reader and the place in the data in registers; they are
    // handed back when the block ends or the walk fails.
    BitReader in = reader;
    const unsigned char* const expected = c.expected;
    const size_t size = c.size;
    size_t at = c.at;
    DeflateContent problem = DeflateContent::NotAStream;
    const Lookup literal(literals);
    const Lookup distance(distances);

    // What the walk found when a symbol that takes `bits` more bits does not stand for the data:
    // a symbol read from beyond the stream's bytes means there is no complete stream.
    const auto stop = [&](DeflateContent found, int bits) {
        problem = in.position() + size_t(bits) > in.size() * 8 ? DeflateContent::NotAStream : found;
        return false;
    };
    // A literal at the current place of the data.
    const auto literalEqual = [&](uint32_t e) {
        if constexpr (M == Mode::Compare) {
            if (at >= size)
                return stop(DeflateContent::Longer, bitsOf(e));
            if (expected[at] != valueOf(e))
                return stop(DeflateContent::Differs, bitsOf(e));
            ++at;
        }
        return true;
    };

    // Reading past the data is noticed at the next refill, which is never more than three
    // symbols away; what those symbols are compared with does not matter, the walk fails.
    const auto symbols = [&] {
        for (;;) {
            if (!in.refill())
                return false;
            uint32_t e = literal(in.peek());
            if (is(e, Literal)) {
                if (!literalEqual(e))
                    return false;
                in.skip(bitsOf(e));
                e = literal(in.peek());
                if (is(e, Literal)) {
                    if (!literalEqual(e))
                        return false;
                    in.skip(bitsOf(e));
                    continue;
                }
                if (!in.refill())
                    return false;
            }
            if (!is(e, Match)) {
                // The end code, or a code that must not occur.
                in.skip(bitsOf(e));
                return is(e, End) && !in.overrun();
            }
            const uint32_t length = amountOf(e, in.peek());
            in.skip(bitsOf(e));
            const uint32_t d = distance(in.peek());
            if (!is(d, Match))
                return false;
            const uint32_t back = amountOf(d, in.peek());
            in.skip(bitsOf(d));
            if constexpr (M == Mode::Compare) {
                if (back > at)
                    return stop(DeflateContent::BeforeStart, 0);
                if (length > size - at)
                    return stop(DeflateContent::Longer, 0);
                if (!sameBytes(expected + at, expected + at - back, length))
                    return stop(DeflateContent::Differs, 0);
                at += length;
            }
        }
    };
    const bool ended = symbols();
    reader = in;
    c.at = at;
    c.problem = problem;
    return ended;
}

// Walks the stream from bit `fromBit` to the end of its final block.
template <Mode M>
std::optional<DeflateFinalBlock> walk(const unsigned char* data, size_t size, size_t fromBit,
                                      Table& literals, Table& distances, Table& codeLengths,
                                      Content& c) {
    BitReader in(data, size);
    in.seek(fromBit / 8);
    if (!in.refill())
        return std::nullopt;
    in.skip(int(fromBit % 8));
    for (;;) {
        if (!in.refill())
            return std::nullopt;
        const size_t header = in.position();
        const bool final = in.take(1) != 0;
        const uint32_t type = in.take(2);
        if (type == 0) {
            // Stored: the rest of the byte, then the length and its complement.
            const size_t at = (in.position() + 7) / 8;
            if (at + 4 > size)
                return std::nullopt;
            const uint32_t length = data[at] | uint32_t(data[at + 1]) << 8;
            const uint32_t complement = data[at + 2] | uint32_t(data[at + 3]) << 8;
            if ((length ^ 0xFFFF) != complement || at + 4 + length > size)
                return std::nullopt;
            if constexpr (M == Mode::Compare) {
                if (length > c.size - c.at) {
                    c.problem = DeflateContent::Longer;
                    return std::nullopt;
                }
                if (length != 0 && std::memcmp(c.expected + c.at, data + at + 4, length) != 0) {
                    c.problem = DeflateContent::Differs;
                    return std::nullopt;
                }
                c.at += length;
            }
            in.seek(at + 4 + length);
        } else if (type == 1) {
            const FixedTables& fixed = fixedTables();
            if (!walkCodes<M>(in, fixed.literals, fixed.distances, c))
                return std::nullopt;
        } else if (type == 2) {
            const int literalCount = int(in.take(5)) + 257;
            const int distanceCount = int(in.take(5)) + 1;
            const int codeLengthCount = int(in.take(4)) + 4;
            if (literalCount > firstLength + lengthSymbols || distanceCount > distanceSymbols)
                return std::nullopt;
            std::array<uint8_t, codeLengthSymbols> codeLengthLengths{};
            for (int i = 0; i < codeLengthCount; ++i) {
                if (!in.refill())
                    return std::nullopt;
                codeLengthLengths[codeLengthOrder[size_t(i)]] = uint8_t(in.take(3));
            }
            if (!build(codeLengths, codeLengthLengths.data(), codeLengthSymbols, codeLengthEntry,
                       false))
                return std::nullopt;
            const Lookup codeLength(codeLengths);

            std::array<uint8_t, firstLength + lengthSymbols + distanceSymbols> lengths{};
            const int total = literalCount + distanceCount;
            for (int i = 0; i < total;) {
                if (!in.refill())
                    return std::nullopt;
                const uint32_t e = codeLength(in.peek());
                if (isInvalid(e))
                    return std::nullopt;
                in.skip(bitsOf(e));
                const auto symbol = int(valueOf(e));
                if (symbol < 16) {
                    lengths[size_t(i++)] = uint8_t(symbol);
                    continue;
                }
                uint8_t value = 0;
                int repeat = 0;
                if (symbol == 16) {
                    if (i == 0)
                        return std::nullopt;
                    value = lengths[size_t(i - 1)];
                    repeat = 3 + int(in.take(2));
                } else if (symbol == 17) {
                    repeat = 3 + int(in.take(3));
                } else {
                    repeat = 11 + int(in.take(7));
                }
                if (i + repeat > total)
                    return std::nullopt;
                std::memset(lengths.data() + i, value, size_t(repeat));
                i += repeat;
            }
            if (lengths[endOfBlock] == 0 ||
                !build(literals, lengths.data(), literalCount, literalEntry) ||
                !build(distances, lengths.data() + literalCount, distanceCount, distanceEntry) ||
                !walkCodes<M>(in, literals, distances, c))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
        if (in.overrun())
            return std::nullopt;
        if (final)
            return DeflateFinalBlock{header, in.position()};
    }
}

} // namespace

DeflateStreamCheck::DeflateStreamCheck() {
    // The largest tables a stream can need, had once.
    for (Table* t : {&m_literals, &m_distances, &m_codeLengths}) {
        t->entries.reserve(size_t(1) << lookupBits);
        t->sorted.reserve(firstLength + lengthSymbols + 2);
    }
}

std::optional<DeflateFinalBlock> DeflateStreamCheck::find(const unsigned char* data,
                                                               size_t size) {
    Content none;
    return walk<Mode::Walk>(data, size, 0, m_literals, m_distances, m_codeLengths, none);
}

DeflateContentCheck DeflateStreamCheck::check(const unsigned char* data, size_t size,
                                                   const unsigned char* expected,
                                                   size_t expectedSize, size_t fromBit) {
    Content c{expected, expectedSize};
    const std::optional<DeflateFinalBlock> end =
        walk<Mode::Compare>(data, size, fromBit, m_literals, m_distances, m_codeLengths, c);
    DeflateContentCheck result;
    result.inflated = c.at;
    if (!end) {
        result.content = c.problem;
        return result;
    }
    result.end = *end;
    result.content = c.at == expectedSize ? DeflateContent::Equal : DeflateContent::Shorter;
    return result;
}
