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

// What a stream was found to be when it was walked against the data it must inflate to.
enum class DeflateContent {
    Equal,       // a complete stream that inflates to exactly the data
    NotAStream,  // no complete, valid Deflate stream from the first bit on
    Differs,     // it inflates to other bytes than the data
    Longer,      // it inflates to more bytes than the data
    Shorter,     // it ends before all of the data
    BeforeStart, // a match reaches back before the stream's first byte
};

struct DeflateContentCheck {
    DeflateContent content = DeflateContent::NotAStream;
    DeflateFinalBlock end; // valid when the content is Equal or Shorter
    size_t inflated = 0;   // bytes the stream was found to give, up to where the walk stopped
};

// Walks a raw Deflate stream block by block, reading its Huffman codes, to find its final block;
// and, given the data the stream must inflate to, compares every byte it stands for with that
// data on the way, without writing any output. It holds the code tables, so one check per
// thread.
//
// The walk is as strict about the codes as zlib, which unzip and most readers use: a code that
// is over-subscribed, or incomplete other than zlib allows, ends the walk. The comparison follows
// the format's meaning exactly: a literal stands for its byte, a match for the bytes `distance`
// back, copied one at a time (so it may overlap what it produces), a stored block for its bytes.
// Since everything before a match was already found equal to the data, a match is equal when
// the data at its place equals the data `distance` before it.
class DeflateStreamCheck {
public:
    DeflateStreamCheck();

    // nullopt when `data` does not hold a complete Deflate stream from its first byte on.
    // Bytes after the stream's end do not matter (they may be loaded, never interpreted).
    std::optional<DeflateFinalBlock> find(const unsigned char* data, size_t size);

    // Walks the stream that begins at bit `fromBit` of `data` and compares what it inflates to
    // with `expected`. Stops at the first difference. A match may not reach back before
    // `fromBit`'s stream began, whatever came before it.
    DeflateContentCheck check(const unsigned char* data, size_t size, const unsigned char* expected,
                              size_t expectedSize, size_t fromBit = 0);

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
