#pragma once

#include "transfer/ArchiveRetention.h"
#include "transfer/Destination.h"

#include <QDate>
#include <QString>

#include <functional>
#include <memory>

class ErrorCount;
class LogSink;

// Keeps more than the seven weekday archives at a job's destination, once tonight's weekday
// archive is stored there: lists the destination, stores the week's and the month's archive
// (a copy on the server where it can make one, else the local archive once more) and removes
// the weekly and monthly archives beyond the counts (ArchiveRetention). Every store and removal
// has its line; each one that fails, and a listing that fails, counts one error.
class ArchiveKeeping {
public:
    using DestinationFactory =
        std::function<std::unique_ptr<Destination>(const DestinationConfig&)>;

    ArchiveKeeping(LogSink& log, ErrorCount& errors, DestinationFactory factory = makeDestination);

    // archivePath and archiveName: tonight's weekday archive, here and at the destination;
    // zipName: the job's ZIP name the weekly and monthly names begin with; day: the night the
    // archive was made for.
    void keep(const DestinationConfig& config, const QString& archivePath,
              const QString& archiveName, const QString& zipName, const QDate& day, int keepWeekly,
              int keepMonthly);

private:
    // Empty when `name` holds the archive now; otherwise why not.
    QString storeAs(Destination& destination, DestinationEvents& events, const QString& archivePath,
                    const QString& archiveName, const QString& name);

    LogSink& m_log;
    ErrorCount& m_errors;
    DestinationFactory m_factory;
};
