#pragma once

#include <QBuffer>
#include <QIODevice>

#include <stdexcept>

// Passes everything to the device below until `budget` bytes have been written, then fails the
// way a full disk does: the write returns -1 with "No space left on device", or, with Throw,
// raises std::runtime_error("disk full") as the stream of a foreign library might.
class FullDiskDevice : public QIODevice {
public:
    enum class Failure { Result, Throw };

    FullDiskDevice(QIODevice& below, qint64 budget, Failure failure = Failure::Result)
        : m_below(&below), m_budget(budget), m_failure(failure) {
        open(QIODevice::WriteOnly);
    }
    // Over an in-memory buffer of its own, which can be read back.
    explicit FullDiskDevice(qint64 budget, Failure failure = Failure::Result)
        : m_below(&m_own), m_budget(budget), m_failure(failure) {
        m_own.open(QIODevice::ReadWrite);
        open(QIODevice::ReadWrite);
    }

    bool isSequential() const override { return false; }
    bool seek(qint64 pos) override { return m_below->seek(pos) && QIODevice::seek(pos); }
    qint64 size() const override { return m_below->size(); }
    qint64 written = 0;

protected:
    qint64 readData(char* data, qint64 len) override {
        return m_below->isReadable() ? m_below->read(data, len) : -1;
    }
    qint64 writeData(const char* data, qint64 len) override {
        if (written >= m_budget) {
            if (m_failure == Failure::Throw)
                throw std::runtime_error("disk full");
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        const qint64 n = m_below->write(data, qMin(len, m_budget - written));
        if (n > 0)
            written += n;
        return n;
    }

private:
    QBuffer m_own;
    QIODevice* m_below;
    qint64 m_budget;
    Failure m_failure;
};
