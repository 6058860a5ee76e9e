#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class StagedFile;

// Puts a set of finished staged files in their targets' places, all or nothing: each rename
// replaces its target in one step, and when one of them fails the targets already replaced get
// their old files back (kept under a second name meanwhile) and new ones are removed. The
// folder is synced after the renames, so that the new names survive a power cut.
class FileReplacement {
public:
    // rename(2) by default; returns 0 or -1 with errno set.
    using RenameFunction = std::function<int(const QByteArray& from, const QByteArray& to)>;

    explicit FileReplacement(RenameFunction rename = {});

    // True when every file is in place. Otherwise false, every target is as it was (as far as
    // the file system lets it be put back), and errors() says what happened, naming the files.
    bool replaceAll(const std::vector<StagedFile*>& files);
    const QStringList& errors() const { return m_errors; }

private:
    RenameFunction m_rename;
    QStringList m_errors;
};
