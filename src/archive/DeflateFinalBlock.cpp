#include "archive/DeflateFinalBlock.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

using Table = DeflateFinalBlockFinder::Table;

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
constexpr std::array<uint8_t, codeLengthSymbols> codeLengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};

// Codes up to this long are looked up at once; longer ones, which are rare by their nature, are
// decoded a bit at a time. This keeps each table within the first-level cache.
constexpr int lookupBits = 11;

// Kinds of table entries; 0 is a code that must not occur. `Long`: the code is longer than the
// table and decoded a bit at a time.
enum Kind : uint32_t { Invalid = 0, Literal = 1, Match = 2, End = 3, Long = 4 };

constexpr uint32_t entry(uint32_t symbol, Kind kind, uint32_t bits) {
    return symbol << 16 | uint32_t(kind) << 8 | bits;
}
constexpr Kind kindOf(uint32_t e) {
    return Kind((e >> 8) & 0xFF);
}
constexpr int bitsOf(uint32_t e) {
    return int(e & 0xFF);
}
constexpr int symbolOf(uint32_t e) {
    return int(e >> 16);
}

// What a symbol's entry says, by alphabet.
uint32_t literalEntry(int symbol, int codeLength) {
    if (symbol < endOfBlock)
        return entry(uint32_t(symbol), Literal, uint32_t(codeLength));
    if (symbol == endOfBlock)
        return entry(uint32_t(symbol), End, uint32_t(codeLength));
    if (symbol < firstLength + lengthSymbols)
        return entry(uint32_t(symbol), Match,
                     uint32_t(codeLength + lengthExtraBits[size_t(symbol - firstLength)]));
    return 0;
}
uint32_t distanceEntry(int symbol, int codeLength) {
    if (symbol < distanceSymbols)
        return entry(uint32_t(symbol), Match,
                     uint32_t(codeLength + distanceExtraBits[size_t(symbol)]));
    return 0;
}
uint32_t codeLengthEntry(int symbol, int codeLength) {
    return entry(uint32_t(symbol), Literal, uint32_t(codeLength));
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
                table.entries[reversed & ((1u << table.bits) - 1)] = entry(0, Long, 0);
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

[[gnu::always_inline]] inline uint32_t lookup(const Table& table, uint64_t bits) {
    const uint32_t e = table.entries[size_t(bits & ((uint64_t(1) << table.bits) - 1))];
    return kindOf(e) == Long ? decodeLong(table, bits) : e;
}

// Reads one compressed block's symbols up to its end code. The longest symbol with its extra
// bits takes 15 + 5 bits and its distance 15 + 13, both within one refill; so do two literals.
bool walkCodes(BitReader& reader, const Table& literals, const Table& distances) {
    // A copy of its own keeps the reader in registers.
    BitReader in = reader;
    const struct WriteBack {
        BitReader& to;
        const BitReader& from;
        ~WriteBack() { to = from; }
    } writeBack{reader, in};
    // Reading past the data is noticed at the next refill, which is never more than three
    // symbols away.
    for (;;) {
        if (!in.refill())
            return false;
        uint32_t e = lookup(literals, in.peek());
        if (kindOf(e) == Literal) {
            in.skip(bitsOf(e));
            e = lookup(literals, in.peek());
            if (kindOf(e) == Literal) {
                in.skip(bitsOf(e));
                continue;
            }
            if (!in.refill())
                return false;
        }
        in.skip(bitsOf(e));
        const Kind kind = kindOf(e);
        if (kind == Match) {
            const uint32_t d = lookup(distances, in.peek());
            if (kindOf(d) != Match)
                return false;
            in.skip(bitsOf(d));
        } else if (kind != Literal) {
            return kind == End && !in.overrun();
        }
    }
}

} // namespace

DeflateFinalBlockFinder::DeflateFinalBlockFinder() {
    // The largest tables a stream can need, had once.
    for (Table* t : {&m_literals, &m_distances, &m_codeLengths}) {
        t->entries.reserve(size_t(1) << lookupBits);
        t->sorted.reserve(firstLength + lengthSymbols + 2);
    }
}

std::optional<DeflateFinalBlock> DeflateFinalBlockFinder::find(const unsigned char* data,
                                                               size_t size) {
    BitReader in(data, size);
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
            in.seek(at + 4 + length);
        } else if (type == 1) {
            const FixedTables& fixed = fixedTables();
            if (!walkCodes(in, fixed.literals, fixed.distances))
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
            if (!build(m_codeLengths, codeLengthLengths.data(), codeLengthSymbols, codeLengthEntry,
                       false))
                return std::nullopt;

            std::array<uint8_t, firstLength + lengthSymbols + distanceSymbols> lengths{};
            const int total = literalCount + distanceCount;
            for (int i = 0; i < total;) {
                if (!in.refill())
                    return std::nullopt;
                const uint32_t e = lookup(m_codeLengths, in.peek());
                if (kindOf(e) == Invalid)
                    return std::nullopt;
                in.skip(bitsOf(e));
                const int symbol = symbolOf(e);
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
                !build(m_literals, lengths.data(), literalCount, literalEntry) ||
                !build(m_distances, lengths.data() + literalCount, distanceCount, distanceEntry) ||
                !walkCodes(in, m_literals, m_distances))
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
