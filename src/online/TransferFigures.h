#pragma once

#include <QString>

// The figures a download window shows, in its English units.
namespace TransferFigures {

// "512 bytes", "12.5 KB", "3.4 MB".
QString size(qint64 bytes);
// Bytes per second so far, as "12.5 KB/sec"; "-" before the first second.
QString rate(qint64 bytes, qint64 elapsedMs);
// "7 sec", "2 minutes 5 sec".
QString duration(qint64 ms);
// What is left at the rate so far; "-" when the total or the rate is not known yet.
QString timeLeft(qint64 bytes, qint64 total, qint64 elapsedMs);
// 0..100; 0 while the total is not known.
int percent(qint64 bytes, qint64 total);

} // namespace TransferFigures
