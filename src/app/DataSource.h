#pragma once

#include <QList>
#include <QObject>
#include <QVariant>
#include <exception>
#include <functional>

class Dataset;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

// Binds controls to the fields of one dataset's current row: a control shows its field, and what
// the user types goes into the row (the dataset moves into edit, or into a new row when it has
// none). Detached, the controls no longer follow the dataset; attaching shows the current row
// again.
class DataSource : public QObject {
    Q_OBJECT
public:
    // Failures of a control's write (a value the field refuses, a closed dataset) go here.
    using ErrorHandler = std::function<void(const std::exception&)>;

    DataSource(Dataset& dataset, ErrorHandler onError, QObject* parent = nullptr);
    ~DataSource() override;

    Dataset& dataset() { return m_dataset; }

    void bindLineEdit(QLineEdit* edit, const QString& field);
    // A read-only text.
    void bindLabel(QLabel* label, const QString& field);
    // Ticked stores `ticked`, not ticked stores `unticked`.
    void bindCheckBox(QCheckBox* box, const QString& field, const QVariant& ticked,
                      const QVariant& unticked);
    // Entry i of the drop-down stores values[i]; a stored value not in the list shows no entry.
    void bindComboBox(QComboBox* box, const QString& field, const QList<QVariant>& values);

    void setAttached(bool attached);
    bool isAttached() const { return m_attached; }
    // Shows the current row in every control.
    void refresh();

private:
    struct Binding {
        QWidget* control;
        QString field;
        QList<QVariant> values; // check box: {ticked, unticked}; drop-down: one per entry
    };

    void show(const Binding& binding);
    void write(QWidget* control, const QString& field, const QVariant& value);

    Dataset& m_dataset;
    ErrorHandler m_onError;
    QList<Binding> m_bindings;
    int m_subscription = 0;
    bool m_attached = true;
    QWidget* m_writing = nullptr; // the control whose input is being stored: not shown over
    bool m_showing = false;       // a control is being set to the row's value, not by the user
};
