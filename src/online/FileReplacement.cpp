#include "online/FileReplacement.h"

#include "online/StagedFile.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

bool exists(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

void syncFolder(const QString& folder) {
    const int fd = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
} // namespace

FileReplacement::FileReplacement(RenameFunction rename) : m_rename(std::move(rename)) {
    if (!m_rename)
        m_rename = [](const QByteArray& from, const QByteArray& to) {
            return std::rename(from.constData(), to.constData());
        };
}

bool FileReplacement::replaceAll(const std::vector<StagedFile*>& files) {
    m_errors.clear();
    if (files.empty())
        return true;

    // The old file of every target but the last gets a second name first, so that it can be put
    // back when a later rename fails. The name is the staged file's own with another ending:
    // link() never replaces an existing name.
    struct Step {
        StagedFile* file;
        QByteArray target;
        QByteArray keep; // empty: the target did not exist, or it is the last one
        bool replaced = false;
        bool keepStays = false; // the old file could not be put back: its second name stays
    };
    std::vector<Step> steps;
    for (StagedFile* file : files)
        steps.push_back({file, encoded(file->target()), {}, false, false});
    const auto dropKept = [&steps] {
        for (const Step& s : steps)
            if (!s.keep.isEmpty() && !s.keepStays)
                ::unlink(s.keep.constData());
    };
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        Step& s = steps[i];
        const QString refused = StagedFile::refusedTarget(s.file->target());
        if (!refused.isEmpty()) {
            m_errors << refused;
            dropKept();
            return false;
        }
        if (!exists(s.target))
            continue;
        QByteArray keep = encoded(s.file->tempPath());
        keep.chop(int(qstrlen(".part")));
        keep += ".old";
        if (::link(s.target.constData(), keep.constData()) != 0) {
            m_errors << QStringLiteral("Die alte Datei %1 kann nicht gesichert werden: %2")
                            .arg(s.file->target(), systemError(errno));
            dropKept();
            return false;
        }
        s.keep = keep;
    }

    bool complete = true;
    for (Step& s : steps) {
        const QString refused = StagedFile::refusedTarget(s.file->target());
        if (!refused.isEmpty()) {
            m_errors << refused;
            complete = false;
            break;
        }
        if (m_rename(encoded(s.file->tempPath()), s.target) != 0) {
            m_errors << QStringLiteral("Die Datei %1 kann nicht ersetzt werden: %2")
                            .arg(s.file->target(), systemError(errno));
            complete = false;
            break;
        }
        s.replaced = true;
        s.file->placed();
    }

    if (!complete) {
        // Back to the old state: kept files return, files that were new go.
        for (Step& s : steps) {
            if (!s.replaced)
                continue;
            const int done = s.keep.isEmpty()
                                 ? ::unlink(s.target.constData())
                                 : std::rename(s.keep.constData(), s.target.constData());
            if (done == 0)
                continue;
            const QString why = systemError(errno);
            s.keepStays = true;
            m_errors << (s.keep.isEmpty()
                             ? QStringLiteral("Die neue Datei %1 kann nicht entfernt werden: %2")
                                   .arg(s.file->target(), why)
                             : QStringLiteral("Die alte Datei %1 kann nicht zurückgelegt werden "
                                              "(sie liegt unter %2): %3")
                                   .arg(s.file->target(), QFile::decodeName(s.keep), why));
        }
    }
    dropKept();
    syncFolder(QFileInfo(files.front()->target()).absolutePath());
    return complete;
}
