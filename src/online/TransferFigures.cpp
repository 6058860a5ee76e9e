#include "online/TransferFigures.h"

QString TransferFigures::size(qint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(double(bytes) / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QString TransferFigures::rate(qint64 bytes, qint64 elapsedMs) {
    if (elapsedMs < 1000)
        return QStringLiteral("-");
    return size(bytes * 1000 / elapsedMs) + QStringLiteral("/sec");
}

QString TransferFigures::duration(qint64 ms) {
    const qint64 seconds = ms / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 sec").arg(seconds);
    return QStringLiteral("%1 minutes %2 sec").arg(seconds / 60).arg(seconds % 60);
}

QString TransferFigures::timeLeft(qint64 bytes, qint64 total, qint64 elapsedMs) {
    if (total <= 0 || bytes <= 0 || elapsedMs < 1000)
        return QStringLiteral("-");
    const qint64 left = qMax<qint64>(0, total - bytes);
    return duration(left * elapsedMs / bytes);
}

int TransferFigures::percent(qint64 bytes, qint64 total) {
    if (total <= 0)
        return 0;
    return int(qBound(qint64(0), bytes * 100 / total, qint64(100)));
}
