#pragma once

#include <QString>
#include <QTemporaryFile>

// A file written beside its target under a temporary name and put in the target's place only
// when it is complete and checked, so that a broken transfer or an error page never replaces a
// working file. Dropped before it was put in place, the temporary file is removed.
//
// The program folder may hold a link planted in a file's place: a target that is a symbolic
// link (or anything but a plain file) is refused, never written through, and the temporary file
// is created new (it cannot be a link either).
class StagedFile {
public:
    explicit StagedFile(QString target);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // The German reason why target may not be replaced (a link, a folder, ...); empty when it
    // is a plain file or absent.
    static QString refusedTarget(const QString& target);

    // Checks the target and creates and opens the temporary file; false with errorText() when
    // it cannot.
    bool open();
    QFile& device() { return m_temp; }
    const QString& target() const { return m_target; }
    QString tempPath() const { return m_temp.fileName(); }

    // Writes everything out to the disk (fsync), takes over the target's permissions (a new
    // file is readable for all, writable for its owner) and makes sure the temporary name
    // still names the file written here; false with errorText() when it cannot. The file stays
    // open, for its checks and until it is put in place.
    bool finish();
    // The temporary file was renamed over the target: it is no longer removed.
    void placed();
    QString errorText() const { return m_error; }

private:
    QString m_target;
    QTemporaryFile m_temp;
    QString m_error;
};
