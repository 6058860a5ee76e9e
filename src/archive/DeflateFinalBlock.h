#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Where a raw Deflate stream's final block begins and where the stream ends, in bits from the
// start of the data (bit 0 is the lowest bit of the first byte).
struct DeflateFinalBlock {
    size_t headerBit = 0; // the final block's first header bit, its "final" flag
    size_t endBit = 0;    // one past the stream's last bit
};

// Walks a raw Deflate stream block by block, reading its Huffman codes without producing any
// output, to find its final block. It holds the code tables, so one finder per thread.
//
// The walk is as strict about the codes as zlib, which unzip and most readers use: a code that
// is over-subscribed, or incomplete other than zlib allows, ends the walk. What the stream
// inflates to is not looked at; that is for a real inflater.
class DeflateFinalBlockFinder {
public:
    DeflateFinalBlockFinder();

    // nullopt when `data` does not hold a complete Deflate stream from its first byte on.
    // Bytes after the stream's end do not matter (they may be loaded, never interpreted).
    std::optional<DeflateFinalBlock> find(const unsigned char* data, size_t size);

    // A Huffman decoding table indexed by the next `bits` bits of the stream. Each entry holds
    // the bits one symbol takes (its code and, for lengths and distances, the extra bits after
    // it), its kind and the symbol; a zero entry is a code the stream must not use. Codes longer
    // than the table are decoded from `counts` (codes per length) and `sorted` (the entries in
    // the order of their codes).
    struct Table {
        std::vector<uint32_t> entries;
        int bits = 0;
        std::array<uint16_t, 16> counts{};
        std::vector<uint32_t> sorted;
    };

private:
    Table m_literals;
    Table m_distances;
    Table m_codeLengths;
};
