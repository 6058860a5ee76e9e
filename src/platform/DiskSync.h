#pragma once

#include <QString>

class QFileDevice;

namespace DiskSync {

// Hands what Qt still buffers for the open file to the system and waits until the system has it
// on disk. Empty text when it is there; otherwise why not. A file is called written only after
// this: QSaveFile's commit syncs too, but passes over a failure, and an error the disk reports
// while writing back would otherwise surface nowhere.
QString toDisk(QFileDevice& file);

} // namespace DiskSync
