#pragma once

#include <QString>
#include <QTemporaryFile>

// A file written beside its target under a temporary name and renamed over the target only
// when it is complete and checked, so that a broken transfer or an error page never replaces a
// working file. Dropped without commit(), the temporary file is removed.
class StagedFile {
public:
    explicit StagedFile(QString target);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates and opens the temporary file; false with errorText() when it cannot.
    bool open();
    QFile& device() { return m_temp; }
    const QString& target() const { return m_target; }
    QString tempPath() const { return m_temp.fileName(); }

    // Flushes, takes over the target's permissions (a new file is readable for all, writable for
    // its owner) and renames over the target in one step; false with errorText() when it cannot.
    bool commit();
    QString errorText() const { return m_error; }

private:
    QString m_target;
    QTemporaryFile m_temp;
    QString m_error;
};
