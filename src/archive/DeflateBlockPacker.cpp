#include "archive/DeflateBlockPacker.h"

#include <cstring>
#include <libdeflate.h>
#include <new>

size_t DeflateBlockPacker::outputBound(size_t inputSize) {
    return libdeflate_deflate_compress_bound(nullptr, inputSize) + joinRoom;
}

DeflateBlockPacker::DeflateBlockPacker(int level, size_t blockSize)
    : m_compressor(libdeflate_alloc_compressor(level)), m_blockSize(blockSize) {
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

QString DeflateBlockPacker::problemText(const DeflateContentCheck& found, size_t inSize) {
    switch (found.content) {
    case DeflateContent::Equal:
        return {};
    case DeflateContent::NotAStream:
        return QStringLiteral("kein vollständiger Deflate-Datenstrom");
    case DeflateContent::Differs:
        return QStringLiteral("entpackt nicht zu den gelesenen Daten");
    case DeflateContent::Longer:
        return QStringLiteral("entpackt zu mehr als %1 Bytes").arg(inSize);
    case DeflateContent::Shorter:
        return QStringLiteral("entpackt zu %1 statt %2 Bytes").arg(found.inflated).arg(inSize);
    case DeflateContent::BeforeStart:
        return QStringLiteral("verweist vor seinen Anfang");
    }
    return QStringLiteral("nicht entpackbar");
}

QString DeflateBlockPacker::verifyAndJoin(const char* in, size_t inSize, char* piece,
                                          size_t& pieceSize, size_t pieceCapacity, bool last) {
    if (pieceSize == 0)
        return QStringLiteral("leer");
    if (inSize > m_blockSize)
        return QStringLiteral("größer als ein Block");
    auto* const bytes = reinterpret_cast<unsigned char*>(piece);
    const auto* const data = reinterpret_cast<const unsigned char*>(in);
    // One walk reads every code of the piece and compares every byte it stands for with what
    // was read from the file.
    const DeflateContentCheck found = m_streamCheck.check(bytes, pieceSize, data, inSize);
    if (found.content != DeflateContent::Equal)
        return problemText(found, inSize);
    const DeflateFinalBlock end = found.end;
    if ((end.endBit + 7) / 8 != pieceSize)
        return QStringLiteral("hat Daten nach dem Ende");
    if (last)
        return {};

    // Open the stream for the next piece: clear the final bit and the unused bits of the last
    // byte, then end on a byte boundary with an empty stored block: three header bits (not
    // final, stored; zero), the rest of their byte, length 0 and its complement. The header
    // bits go into the last byte when at least three of its bits are free. The final bit says
    // only whether another block follows, so the piece's blocks still stand for the same bytes.
    bytes[end.headerBit / 8] &= static_cast<unsigned char>(~(1u << (end.headerBit % 8)));
    const unsigned used = unsigned(end.endBit % 8); // 0: all eight
    if (used != 0)
        bytes[pieceSize - 1] &= static_cast<unsigned char>((1u << used) - 1);
    const bool needsByte = used == 0 || 8 - used < 3;
    const size_t added = (needsByte ? 1 : 0) + 4;
    if (pieceCapacity < pieceSize || pieceCapacity - pieceSize < added + 2)
        return QStringLiteral("kein Platz für das Blockende");
    unsigned char* tail = bytes + pieceSize;
    size_t k = 0;
    if (needsByte)
        tail[k++] = 0x00;
    tail[k++] = 0x00;
    tail[k++] = 0x00;
    tail[k++] = 0xFF;
    tail[k++] = 0xFF;
    // What now follows the piece's blocks is checked as the next piece will see it: from where
    // the last block ends, the empty stored block, then, for the check only, an empty final
    // block (final, fixed codes, end code: ten bits), which is not written; together they add
    // no byte and end the stream.
    tail[k++] = 0x03;
    tail[k++] = 0x00;
    const DeflateContentCheck joined =
        m_streamCheck.check(bytes, pieceSize + added + 2, nullptr, 0, end.endBit);
    if (joined.content != DeflateContent::Equal ||
        (joined.end.endBit + 7) / 8 != pieceSize + added + 2)
        return QStringLiteral("Blockende nicht lesbar");
    pieceSize += added;
    return {};
}
