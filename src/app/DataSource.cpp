#include "app/DataSource.h"

#include "settings/Dataset.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QScopedValueRollback>

DataSource::DataSource(Dataset& dataset, ErrorHandler onError, QObject* parent)
    : QObject(parent), m_dataset(dataset), m_onError(std::move(onError)) {
    m_subscription = m_dataset.subscribe([this](DatasetEvent event, int field) {
        if (!m_attached)
            return;
        if (event == DatasetEvent::FieldChanged) {
            const QString name = field >= 0 && field < m_dataset.fieldCount()
                                     ? m_dataset.fieldDef(field).name
                                     : QString();
            for (const Binding& b : std::as_const(m_bindings))
                if (b.field.compare(name, Qt::CaseInsensitive) == 0)
                    show(b);
        } else {
            refresh();
        }
    });
}

DataSource::~DataSource() {
    m_dataset.unsubscribe(m_subscription);
}

void DataSource::bindLineEdit(QLineEdit* edit, const QString& field) {
    m_bindings.append({edit, field, {}});
    // Any change not made by showing the row is the user's: typed, pasted, or set by a screen
    // reader.
    connect(edit, &QLineEdit::textChanged, this, [this, edit, field](const QString& text) {
        if (m_showing)
            return;
        // As an edit control does: an empty text stores NULL.
        write(edit, field, text.isEmpty() ? QVariant() : QVariant(text));
    });
    show(m_bindings.last());
}

void DataSource::bindLabel(QLabel* label, const QString& field) {
    m_bindings.append({label, field, {}});
    show(m_bindings.last());
}

void DataSource::bindCheckBox(QCheckBox* box, const QString& field, const QVariant& ticked,
                              const QVariant& unticked) {
    m_bindings.append({box, field, {ticked, unticked}});
    connect(box, &QCheckBox::clicked, this, [this, box, field, ticked, unticked](bool on) {
        write(box, field, on ? ticked : unticked);
    });
    show(m_bindings.last());
}

void DataSource::bindComboBox(QComboBox* box, const QString& field, const QList<QVariant>& values) {
    m_bindings.append({box, field, values});
    connect(box, &QComboBox::currentIndexChanged, this, [this, box, field, values](int index) {
        if (!m_showing && index >= 0 && index < values.size())
            write(box, field, values.at(index));
    });
    show(m_bindings.last());
}

void DataSource::setAttached(bool attached) {
    if (m_attached == attached)
        return;
    m_attached = attached;
    if (attached)
        refresh();
}

void DataSource::refresh() {
    for (const Binding& b : std::as_const(m_bindings))
        show(b);
}

void DataSource::show(const Binding& b) {
    if (b.control == m_writing)
        return;
    QVariant value;
    if (m_dataset.isOpen() && m_dataset.recNo() >= 0 && m_dataset.fieldIndex(b.field) >= 0)
        value = m_dataset.value(b.field);
    const QString text = value.isValid() ? value.toString() : QString();
    QScopedValueRollback<bool> showing(m_showing, true);
    if (auto* edit = qobject_cast<QLineEdit*>(b.control)) {
        if (edit->text() != text)
            edit->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(b.control)) {
        label->setText(text);
    } else if (auto* box = qobject_cast<QCheckBox*>(b.control)) {
        // A NULL reads as not ticked.
        box->setChecked(value.isValid() && value.toString() == b.values.value(0).toString());
    } else if (auto* combo = qobject_cast<QComboBox*>(b.control)) {
        int index = -1;
        for (int i = 0; i < b.values.size(); ++i)
            if (value.isValid() && value.toString() == b.values.at(i).toString())
                index = i;
        combo->setCurrentIndex(index);
    }
}

void DataSource::write(QWidget* control, const QString& field, const QVariant& value) {
    try {
        QScopedValueRollback<QWidget*> writing(m_writing, control);
        if (!m_dataset.hasPendingChanges())
            m_dataset.edit(); // on an empty list this starts a new row, with its defaults
        m_dataset.setValue(field, value);
    } catch (const std::exception& e) {
        if (m_onError)
            m_onError(e);
        // What the control shows is what the row holds.
        for (const Binding& b : std::as_const(m_bindings))
            if (b.control == control)
                show(b);
    }
}
