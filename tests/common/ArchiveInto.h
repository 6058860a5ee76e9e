#pragma once

// Packs files into an archive with the ZIP writer alone, for the archive suites.

#include "archive/ZipWriter.h"
#include "platform/ProgramError.h"

#include <QFile>
#include <QString>
#include <QStringList>

// Packs `files` into a new archive at `zipPath`, encrypted when `password` is not empty. Empty
// text when it worked, otherwise what went wrong.
inline QString archiveInto(const QString& zipPath, const QStringList& files,
                           const QString& password = {}, ZipLimits limits = {},
                           DeflateOptions deflate = {}) {
    QFile out(zipPath);
    if (!out.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot create ") + zipPath;
    try {
        ZipWriter writer(out, zipPath, limits, std::move(deflate));
        writer.setPassword(password);
        for (const QString& f : files)
            writer.addFile(f);
        writer.close();
    } catch (const ProgramError& e) {
        return e.message();
    }
    return {};
}
