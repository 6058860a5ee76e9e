#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

// Which weekly and monthly archives of a job a night stores beside its weekday archive, and which
// of them go again. A weekly archive is "<ZIP name>-W<ISO year>-<ISO week, two digits>.ZIP", a
// monthly one "<ZIP name>-M<year>-<month, two digits>.ZIP". On a Sunday (ISO weekday 7) the
// night's archive is also kept as the week's archive, and as the month's when none of that month
// is there yet. Of each kind the newest `keep` stay (by the date in the name); a count of 0 turns
// its kind off: nothing is stored, and what is there is left alone. Only names of exactly that
// form for this ZIP name are ever named for removal.
class ArchiveRetention {
public:
    enum class Kind { None, Weekly, Monthly };

    struct Plan {
        QStringList store;  // tonight's names, the weekly first
        QStringList remove; // oldest first, weekly before monthly
    };

    ArchiveRetention(QString zipName, int keepWeekly, int keepMonthly);

    // Whether anything is kept beyond the weekday archives.
    bool active() const { return m_keepWeekly > 0 || m_keepMonthly > 0; }

    QString weeklyName(const QDate& day) const;
    QString monthlyName(const QDate& day) const;
    // The kind of a name, and the year and week or month it carries (year * 100 + number).
    Kind kindOf(const QString& name, int* stamp = nullptr) const;

    // The names to store on `day`, given the names the destination holds.
    QStringList toStore(const QDate& day, const QStringList& present) const;
    // The names beyond the counts among those the destination holds.
    QStringList toRemove(const QStringList& present) const;
    // Both, the removals reckoned as if every store of tonight succeeded.
    Plan plan(const QDate& day, const QStringList& present) const;

private:
    QString m_zipName;
    int m_keepWeekly;
    int m_keepMonthly;
};
