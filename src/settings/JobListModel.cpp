#include "settings/JobListModel.h"

#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"

JobListModel::JobListModel(Dataset& jobs, QObject* parent)
    : QAbstractTableModel(parent), m_jobs(jobs) {
    m_subscription = m_jobs.subscribe([this](DatasetEvent event, int field) {
        if (!m_attached)
            return;
        if (event == DatasetEvent::Scrolled) {
            Q_EMIT currentRowChanged(m_jobs.recNo());
        } else if (event == DatasetEvent::DataSetChanged ||
                   (event == DatasetEvent::FieldChanged &&
                    field == m_jobs.fieldIndex(SettingsColumns::DBName))) {
            refresh();
        }
    });
    refresh();
}

JobListModel::~JobListModel() {
    m_jobs.unsubscribe(m_subscription);
}

int JobListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_names.size());
}

int JobListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant JobListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_names.size() || index.column() != 0)
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return m_names.at(index.row());
    return {};
}

QVariant JobListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole)
        return SettingsColumns::DBName;
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::TextAlignmentRole)
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

void JobListModel::setAttached(bool attached) {
    if (m_attached == attached)
        return;
    m_attached = attached;
    if (attached)
        refresh();
}

void JobListModel::refresh() {
    QStringList names;
    if (m_jobs.isOpen()) {
        const int column = m_jobs.fieldIndex(SettingsColumns::DBName);
        for (int row = 0; row < m_jobs.recordCount(); ++row)
            names << m_jobs.rowValue(row, column).toString();
    }
    if (names.size() == m_names.size()) {
        m_names = names;
        if (!m_names.isEmpty())
            Q_EMIT dataChanged(index(0, 0), index(int(m_names.size()) - 1, 0));
    } else {
        beginResetModel();
        m_names = names;
        endResetModel();
    }
    Q_EMIT currentRowChanged(m_jobs.isOpen() ? m_jobs.recNo() : -1);
}
