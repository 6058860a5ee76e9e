#pragma once

#include <QtGlobal>

class QFileDevice;

// Tells the operating system how a large file is used, where it takes such hints; elsewhere
// these do nothing. They change how fast the file is read or written, never what.
namespace FileHints {

// The open file is read once, from start to end: the system reads further ahead.
void readOnceInOrder(const QFileDevice& file);

// Starts writing to disk what the open file holds so far, without waiting for the writing to
// end (only, at most, for room in the disk's queue), so that the flush at the end finds little
// left and the pages to be written do not pile up meanwhile.
// Whatever Qt still buffers for the file is handed to the system first; false when that fails
// (the file's error string says why).
bool startWriteBack(QFileDevice& file);

// Starts the writing to disk of a file being written every 8 MiB written to it.
class WriteBehind {
public:
    explicit WriteBehind(QFileDevice& file) : m_file(file) {}
    // `bytes` more were written to the file; false when handing them to the system failed.
    bool written(qint64 bytes);

private:
    static constexpr qint64 every = 8 << 20;
    QFileDevice& m_file;
    qint64 m_since = 0; // bytes written since the writing to disk was last started
};

} // namespace FileHints
