#include "backup/DeflateBlockPacker.h"

#include <cstring>
#include <libdeflate.h>
#include <new>
#include <zlib.h>

namespace {

// Inflated output is compared with the input this much at a time.
constexpr size_t scratchSize = 256 * 1024;

// zlib's Z_BLOCK reports in data_type: the bits of the last byte taken that it still holds
// (low three bits), whether it is inside the stream's final block (64), and whether it stopped
// at a block boundary with the next block's header not yet read (128).
constexpr int heldBitsMask = 7;
constexpr int inFinalBlock = 64;
constexpr int atBlockBoundary = 128;

} // namespace

struct DeflateBlockPacker::Inflater {
    z_stream zs{};
    std::unique_ptr<unsigned char[]> scratch = std::make_unique<unsigned char[]>(scratchSize);

    Inflater() {
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&zs); }
};

size_t DeflateBlockPacker::outputBound(size_t inputSize) {
    return libdeflate_deflate_compress_bound(nullptr, inputSize) + joinRoom;
}

DeflateBlockPacker::DeflateBlockPacker(int level)
    : m_compressor(libdeflate_alloc_compressor(level)), m_inflater(std::make_unique<Inflater>()) {
    if (!m_compressor)
        throw std::bad_alloc();
}

DeflateBlockPacker::~DeflateBlockPacker() {
    libdeflate_free_compressor(m_compressor);
}

size_t DeflateBlockPacker::compress(const char* in, size_t inSize, char* out, size_t outCapacity) {
    if (outCapacity < joinRoom)
        return 0;
    return libdeflate_deflate_compress(m_compressor, in, inSize, out, outCapacity - joinRoom);
}

QString DeflateBlockPacker::verifyAndJoin(const char* in, size_t inSize, char* piece,
                                          size_t& pieceSize, size_t pieceCapacity, bool last) {
    if (pieceSize == 0)
        return QStringLiteral("leer");
    z_stream& zs = m_inflater->zs;
    if (inflateReset(&zs) != Z_OK)
        return QStringLiteral("Entpacker nicht bereit");
    auto* const bytes = reinterpret_cast<unsigned char*>(piece);
    unsigned char* const scratch = m_inflater->scratch.get();
    zs.next_in = bytes;
    zs.avail_in = uInt(pieceSize);

    size_t matched = 0;
    bool mismatch = false;
    // Inflates up to the next block boundary, the end of the stream, or a full scratch buffer,
    // and compares what came out with the input at the same place.
    const auto step = [&] {
        zs.next_out = scratch;
        zs.avail_out = uInt(scratchSize);
        const int rc = inflate(&zs, Z_BLOCK);
        const size_t n = scratchSize - zs.avail_out;
        if (n > inSize - matched || std::memcmp(scratch, in + matched, n) != 0)
            mismatch = true;
        matched += n;
        return rc;
    };
    const auto failure = [&](int rc) {
        if (mismatch)
            return QStringLiteral("entpackt nicht zu den gelesenen Daten");
        if (rc == Z_BUF_ERROR || rc == Z_OK)
            return QStringLiteral("endet vorzeitig");
        return QStringLiteral("nicht entpackbar (") +
               QString::fromLatin1(zs.msg ? zs.msg : "zlib") + QLatin1Char(')');
    };

    // A raw inflater reads the first block's header without stopping, so its final bit is
    // looked at (and cleared) before the first step.
    bool finalBlock = (bytes[0] & 1) != 0;
    if (finalBlock && !last)
        bytes[0] &= 0xFE;
    for (;;) {
        const int rc = step();
        if (mismatch)
            return failure(rc);
        if (rc == Z_STREAM_END) {
            // Only the last piece may still end the stream.
            if (!last)
                return QStringLiteral("beendet den Datenstrom vorzeitig");
            break;
        }
        if (rc != Z_OK)
            return failure(rc);
        if (!(zs.data_type & atBlockBoundary))
            continue; // the scratch buffer filled inside a block
        if (finalBlock)
            break; // the block that carried the final bit has ended
        if (zs.avail_in == 0)
            return failure(Z_BUF_ERROR);

        // The next header's first bit is the final bit. The inflater may already hold the
        // upper bits of the byte it starts in; then it is handed the changed bits too, so that
        // it reads the piece exactly as it will be written.
        const int held = zs.data_type & heldBitsMask;
        const size_t offset = size_t(zs.next_in - bytes) - (held > 0 ? 1 : 0);
        const int bit = held > 0 ? 8 - held : 0;
        finalBlock = ((bytes[offset] >> bit) & 1) != 0;
        if (finalBlock && !last) {
            bytes[offset] &= static_cast<unsigned char>(~(1u << bit));
            if (held > 0 && (inflatePrime(&zs, -1, 0) != Z_OK ||
                             inflatePrime(&zs, held, bytes[offset] >> bit) != Z_OK))
                return QStringLiteral("Entpacker nicht bereit");
        }
    }
    if (zs.avail_in != 0)
        return QStringLiteral("hat Daten nach dem Ende");

    if (!last) {
        // An empty stored block: three header bits (not final, stored), the rest of the byte,
        // then length 0 and its complement. The header bits go into the bits the last block
        // left free when there are three of them (they are zero), otherwise into a new byte.
        const bool needsByte = (zs.data_type & heldBitsMask) < 3;
        const size_t added = (needsByte ? 1 : 0) + 4;
        if (pieceCapacity - pieceSize < added)
            return QStringLiteral("kein Platz für das Blockende");
        unsigned char* tail = bytes + pieceSize;
        size_t k = 0;
        if (needsByte)
            tail[k++] = 0x00;
        tail[k++] = 0x00;
        tail[k++] = 0x00;
        tail[k++] = 0xFF;
        tail[k++] = 0xFF;
        zs.next_in = tail;
        zs.avail_in = uInt(added);
        const int rc = step();
        if (mismatch || rc != Z_OK)
            return failure(rc);
        // The piece must now end on a byte boundary, with the stream open for the next piece.
        if (zs.avail_in != 0 ||
            (zs.data_type & (atBlockBoundary | inFinalBlock | heldBitsMask)) != atBlockBoundary)
            return QStringLiteral("endet nicht an einer Blockgrenze");
        pieceSize += added;
    }
    if (matched != inSize)
        return QStringLiteral("entpackt zu %1 statt %2 Bytes").arg(matched).arg(inSize);
    return {};
}
