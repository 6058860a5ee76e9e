#include "transfer/ArchiveKeeping.h"

#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"
#include "transfer/DestinationCall.h"

#include <QFileInfo>

namespace {

// The destination's own lines (a key kept at first use, the SFTP session's messages) into the
// log book, on the window's thread.
class LineEvents final : public DestinationEvents {
public:
    explicit LineEvents(LogSink& log) : m_log(log) {}
    void line(const QString& text) override {
        WorkerCall::onMainThread([this, &text] { m_log.writelogentry(text); });
    }

private:
    LogSink& m_log;
};

QString kindText(ArchiveRetention::Kind kind) {
    return kind == ArchiveRetention::Kind::Weekly ? QStringLiteral("Wochenarchiv")
                                                  : QStringLiteral("Monatsarchiv");
}

QString orUnknown(const QString& error) {
    return error.isEmpty() ? QStringLiteral("ohne Angabe eines Grundes") : error;
}

} // namespace

ArchiveKeeping::ArchiveKeeping(LogSink& log, ErrorCount& errors, DestinationFactory factory)
    : m_log(log), m_errors(errors), m_factory(std::move(factory)) {}

void ArchiveKeeping::keep(const DestinationConfig& config, const QString& archivePath,
                          const QString& archiveName, const QString& zipName, const QDate& day,
                          int keepWeekly, int keepMonthly) {
    const ArchiveRetention rule(zipName, keepWeekly, keepMonthly);
    if (!rule.active() || !day.isValid())
        return;
    const std::unique_ptr<Destination> destination = m_factory ? m_factory(config) : nullptr;
    if (!destination)
        return; // the upload before has named an unknown protocol already
    LineEvents events(m_log);

    const ListResult listing =
        onDestinationWorker<ListResult>([&] { return destination->list(events); });
    QStringList present;
    for (const RemoteEntry& file : listing.files)
        present << file.name;
    QStringList toStore = rule.toStore(day, present);
    if (!listing.listed) {
        m_log.writelogentry(QStringLiteral("FEHLER: Die Archive auf dem Server konnten nicht "
                                           "aufgelistet werden (%1) für Datenbank: ")
                                .arg(orUnknown(listing.error)) +
                            archiveName);
        m_errors.add(1);
        // The week's archive needs no listing; the month's and the removals do.
        toStore.removeIf([&](const QString& name) {
            return rule.kindOf(name) != ArchiveRetention::Kind::Weekly;
        });
    }

    for (const QString& name : toStore) {
        const QString kind = kindText(rule.kindOf(name));
        const QString why = storeAs(*destination, events, archivePath, archiveName, name);
        if (why.isEmpty()) {
            m_log.writelogentry(kind + QStringLiteral(" gespeichert für Datenbank: ") + name);
            if (!present.contains(name))
                present << name;
        } else {
            m_log.writelogentry(
                QStringLiteral("FEHLER: Das %1 konnte nicht gespeichert werden (%2) für "
                               "Datenbank: ")
                    .arg(kind, why) +
                name);
            m_errors.add(1);
        }
        m_log.processMessages();
    }
    if (!listing.listed)
        return;

    for (const QString& name : rule.toRemove(present)) {
        const RemoveResult removed =
            onDestinationWorker<RemoveResult>([&] { return destination->remove(name, events); });
        if (removed.removed) {
            m_log.writelogentry(QStringLiteral("Altes Archiv entfernt für Datenbank: ") + name);
        } else {
            m_log.writelogentry(QStringLiteral("FEHLER: Das alte Archiv konnte nicht entfernt "
                                               "werden (%1) für Datenbank: ")
                                    .arg(orUnknown(removed.error)) +
                                name);
            m_errors.add(1);
        }
        m_log.processMessages();
    }
}

QString ArchiveKeeping::storeAs(Destination& destination, DestinationEvents& events,
                                const QString& archivePath, const QString& archiveName,
                                const QString& name) {
    if (destination.properties().serverCopy) {
        const CopyResult copied = onDestinationWorker<CopyResult>(
            [&] { return destination.copy(archiveName, name, events); });
        if (copied.copied)
            return QString();
        if (!copied.unsupported)
            return orUnknown(copied.error);
    }
    const qint64 localSize = QFileInfo(archivePath).size();
    const StoreResult result = onDestinationWorker<StoreResult>(
        [&] { return destination.store(archivePath, name, events); });
    QString why = result.error;
    if (result.stored) {
        const bool whole = result.remoteSize == localSize ||
                           (result.remoteSize < 0 && !destination.properties().reportsSize);
        if (whole)
            return QString();
        why = QStringLiteral("auf dem Server %1 statt %2 Bytes")
                  .arg(result.remoteSize >= 0 ? QString::number(result.remoteSize)
                                              : QStringLiteral("unbekannt"))
                  .arg(localSize);
    }
    // A cut archive under the name would be taken for a whole one.
    if ((result.stored || result.remoteTouched) && !destination.properties().atomicStore) {
        DestinationEvents quiet;
        const RemoveResult removed =
            onDestinationWorker<RemoveResult>([&] { return destination.remove(name, quiet); });
        if (!removed.removed)
            why +=
                QStringLiteral("; der Rest ist noch auf dem Server: ") + orUnknown(removed.error);
    }
    return orUnknown(why);
}
