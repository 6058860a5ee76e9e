#pragma once

#include <QAbstractTableModel>

class Dataset;

// The job list as a table of one column, the database name, over the job dataset. It follows
// the dataset while attached; detached, it keeps what it showed until it is attached again.
class JobListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit JobListModel(Dataset& jobs, QObject* parent = nullptr);
    ~JobListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void setAttached(bool attached);
    bool isAttached() const { return m_attached; }

Q_SIGNALS:
    // The dataset's current row changed (-1: none); the view selects it.
    void currentRowChanged(int row);

private:
    void refresh();

    Dataset& m_jobs;
    int m_subscription = 0;
    bool m_attached = true;
    QStringList m_names; // what the list shows
};
