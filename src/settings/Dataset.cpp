#include "settings/Dataset.h"

#include "platform/ProgramError.h"
#include "settings/SettingsConnection.h"
#include "settings/SqlValue.h"

#include <QRegularExpression>

// ---------------------------------------------------------------- Field

const FieldDef& Field::def() const {
    if (!m_dataset || m_index < 0 || m_index >= m_dataset->fieldCount())
        throw ProgramError(
            QStringLiteral("Das Feld ist nicht verfügbar, die Datenmenge ist geschlossen"));
    return m_dataset->fieldDef(m_index);
}

QVariant Field::value() const {
    def();
    if (m_dataset->m_current < 0)
        return {};
    return m_dataset->m_rows[std::size_t(m_dataset->m_current)].values[std::size_t(m_index)];
}

bool Field::isNull() const {
    return !value().isValid();
}

QString Field::asString() const {
    return SqlValue::displayText(def(), value());
}

int Field::asInteger() const {
    const QVariant v = value();
    if (!v.isValid())
        return 0;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? 1 : 0;
    bool ok = false;
    const int n = v.toString().trimmed().toInt(&ok);
    return ok ? n : v.toInt();
}

bool Field::asBoolean() const {
    const QVariant v = value();
    if (!v.isValid())
        return false;
    return SqlValue::toBoolean(v).value_or(false);
}

QDateTime Field::asDateTime() const {
    const QVariant v = value();
    if (!v.isValid())
        return {};
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime();
    return SqlValue::parseDateTime(v.toString());
}

void Field::setValue(const QVariant& value) {
    def();
    m_dataset->setFieldValue(m_index, value);
}

void Field::setAsString(const QString& text) {
    setValue(text.isEmpty() ? QVariant() : QVariant(text));
}

void Field::clear() {
    setValue(QVariant());
}

// ---------------------------------------------------------------- Dataset

Dataset::~Dataset() {
    if (m_connection)
        m_connection->detach(this);
}

void Dataset::setConnection(SettingsConnection* connection) {
    if (connection == m_connection)
        return;
    close();
    if (m_connection)
        m_connection->detach(this);
    m_connection = connection;
    if (m_connection)
        m_connection->attach(this);
}

QString Dataset::tableName() const {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\s*select\s+\*\s+from\s+\[?([A-Za-z_][A-Za-z0-9_]*)\]?\s*;?\s*$)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(m_sql);
    return match.hasMatch() ? match.captured(1) : QString();
}

void Dataset::open() {
    if (isOpen())
        return;
    if (!m_connection)
        throw ProgramError(QStringLiteral("Der Datenmenge ist keine Verbindung zugewiesen"));
    const QString table = tableName();
    if (table.isEmpty())
        throw ProgramError(QStringLiteral("Nicht unterstützte Abfrage: ") + m_sql);
    m_connection->open();
    m_rows = m_store.open(m_connection->handle(), table);
    m_current = m_rows.empty() ? -1 : 0;
    m_bof = true;
    m_eof = m_rows.empty();
    m_modified = false;
    m_state = DatasetState::Browse;
    notify(DatasetEvent::StateChanged);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::close() {
    if (!isOpen())
        return;
    m_rows.clear();
    m_store.close();
    m_current = -1;
    m_eof = m_bof = true;
    m_modified = false;
    m_state = DatasetState::Inactive;
    notify(DatasetEvent::StateChanged);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::connectionClosing() {
    close();
}

QStringList Dataset::fieldNames() const {
    QStringList names;
    for (const FieldDef& def : m_store.fields())
        names.append(def.name);
    return names;
}

int Dataset::fieldIndex(const QString& name) const {
    for (int i = 0; i < fieldCount(); ++i)
        if (fieldDef(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

Field Dataset::field(const QString& name) {
    const int index = fieldIndex(name);
    if (index < 0)
        throw ProgramError(QStringLiteral("Feld '%1' nicht gefunden").arg(name));
    return Field(this, index);
}

Field Dataset::field(int index) {
    if (index < 0 || index >= fieldCount())
        throw ProgramError(
            QStringLiteral("Feldnummer %1 außerhalb des gültigen Bereichs").arg(index));
    return Field(this, index);
}

QVariant Dataset::rowValue(int row, int field) const {
    if (row < 0 || row >= recordCount() || field < 0 || field >= fieldCount())
        return {};
    return m_rows[std::size_t(row)].values[std::size_t(field)];
}

QVariant Dataset::value(const QString& name) const {
    const int index = fieldIndex(name);
    if (index < 0)
        throw ProgramError(QStringLiteral("Feld '%1' nicht gefunden").arg(name));
    if (m_current < 0)
        return {};
    return m_rows[std::size_t(m_current)].values[std::size_t(index)];
}

void Dataset::setValue(const QString& name, const QVariant& value) {
    field(name).setValue(value);
}

void Dataset::requireOpen() const {
    if (!isOpen())
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' ist nicht geöffnet").arg(tableName()));
}

void Dataset::requireRow() const {
    requireOpen();
    if (m_current < 0)
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' enthält keinen Datensatz").arg(m_store.table()));
}

void Dataset::requireEditing() const {
    requireOpen();
    if (!hasPendingChanges())
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' ist nicht im Bearbeitungs- oder Einfügemodus")
                .arg(m_store.table()));
}

void Dataset::setFieldValue(int index, const QVariant& value) {
    requireEditing();
    const QVariant converted = SqlValue::toFieldValue(fieldDef(index), value);
    m_rows[std::size_t(m_current)].values[std::size_t(index)] = converted;
    m_modified = true;
    notify(DatasetEvent::FieldChanged, index);
}

// ---------------------------------------------------------------- moving

void Dataset::checkBrowseMode() {
    requireOpen();
    if (!hasPendingChanges())
        return;
    if (m_modified)
        post();
    else
        cancel();
}

void Dataset::moveCurrent(int row) {
    const bool moved = row != m_current;
    m_current = row;
    if (moved)
        notify(DatasetEvent::Scrolled);
}

void Dataset::first() {
    checkBrowseMode();
    moveCurrent(m_rows.empty() ? -1 : 0);
    m_bof = true;
    m_eof = m_rows.empty();
}

void Dataset::last() {
    checkBrowseMode();
    moveCurrent(recordCount() - 1);
    m_eof = true;
    m_bof = m_rows.empty();
}

void Dataset::next() {
    checkBrowseMode();
    if (m_current + 1 < recordCount()) {
        moveCurrent(m_current + 1);
        m_bof = false;
        m_eof = false;
    } else {
        m_eof = true;
    }
}

void Dataset::prior() {
    checkBrowseMode();
    if (m_current > 0) {
        moveCurrent(m_current - 1);
        m_bof = false;
        m_eof = false;
    } else {
        m_bof = true;
    }
}

void Dataset::moveTo(int row) {
    requireOpen();
    if (row < 0 || row >= recordCount())
        throw ProgramError(QStringLiteral("Datensatz %1 existiert nicht").arg(row + 1));
    if (row != m_current) {
        // The row is counted as shown, with the new row; when that row is dropped the ones after it
        // move up.
        const bool dropsNewRow = m_state == DatasetState::Insert && !m_modified;
        const int newRow = m_current;
        checkBrowseMode();
        if (dropsNewRow && row > newRow)
            --row;
        moveCurrent(row);
    }
    m_bof = m_eof = false;
}

// ---------------------------------------------------------------- editing

void Dataset::setState(DatasetState state) {
    if (state == m_state)
        return;
    m_state = state;
    notify(DatasetEvent::StateChanged);
}

void Dataset::edit() {
    requireOpen();
    if (hasPendingChanges())
        return;
    if (m_rows.empty()) {
        append();
        return;
    }
    m_modified = false;
    setState(DatasetState::Edit);
}

void Dataset::append() {
    beginNewRow(true);
}

void Dataset::insert() {
    beginNewRow(false);
}

void Dataset::beginNewRow(bool atEnd) {
    checkBrowseMode();
    Row row;
    row.values.resize(std::size_t(fieldCount()));
    row.original.resize(std::size_t(fieldCount()));
    const int position = atEnd || m_current < 0 ? recordCount() : m_current;
    m_rowBeforeInsert = m_current;
    m_rows.insert(m_rows.begin() + position, std::move(row));
    m_current = position;
    m_eof = m_bof = false;
    m_modified = false;
    setState(DatasetState::Insert);
    notify(DatasetEvent::DataSetChanged);
    if (onNewRecord) {
        try {
            onNewRecord(*this);
        } catch (...) {
            cancel();
            throw;
        }
    }
    // The defaults of a new row are not the user's input: a row that gets nothing more is dropped.
    m_modified = false;
}

void Dataset::cancel() {
    requireOpen();
    if (m_state == DatasetState::Edit) {
        Row& row = m_rows[std::size_t(m_current)];
        row.values = row.original;
    } else if (m_state == DatasetState::Insert) {
        m_rows.erase(m_rows.begin() + m_current);
        int back = m_rowBeforeInsert;
        if (back >= recordCount())
            back = recordCount() - 1;
        m_current = back;
        m_eof = m_bof = m_rows.empty();
    } else {
        return;
    }
    m_modified = false;
    setState(DatasetState::Browse);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::checkRow(const Row& row) const {
    for (int i = 0; i < fieldCount(); ++i) {
        const FieldDef& def = fieldDef(i);
        const QVariant& v = row.values[std::size_t(i)];
        const bool emptyText = def.type == FieldType::Text && v.isValid() && v.toString().isEmpty();
        const bool filledByTable =
            !v.isValid() && m_state == DatasetState::Insert && (def.hasDefault || def.autoNumber);
        if (def.required && (emptyText || !v.isValid()) && !filledByTable && !def.autoNumber)
            throw ProgramError(SqlValue::requiredMessage(m_store.table(), def.name));
        if (def.type == FieldType::Text && def.size > 0 && v.isValid() &&
            v.toString().size() > def.size)
            throw ProgramError(SqlValue::tooLongMessage(m_store.table(), def.name, def.size));
    }
}

void Dataset::post() {
    requireOpen();
    if (!hasPendingChanges())
        return;
    if (onBeforePost)
        onBeforePost(*this);
    if (!hasPendingChanges()) // the hook may have cancelled
        return;
    if (!m_connection || !m_connection->connected())
        throw ProgramError(QStringLiteral("Keine Verbindung zur Einstellungsdatenbank"));
    Row& row = m_rows[std::size_t(m_current)];
    checkRow(row);
    if (m_state == DatasetState::Edit)
        m_store.update(row);
    else
        m_store.insert(row);
    row.original = row.values;
    m_modified = false;
    setState(DatasetState::Browse);
    notify(DatasetEvent::DataSetChanged);
}

void Dataset::remove() {
    requireOpen();
    if (m_state == DatasetState::Insert) {
        cancel();
        return;
    }
    requireRow();
    cancel();
    m_store.remove(m_rows[std::size_t(m_current)]);
    m_rows.erase(m_rows.begin() + m_current);
    if (m_current >= recordCount())
        m_current = recordCount() - 1;
    m_eof = m_bof = m_rows.empty();
    notify(DatasetEvent::DataSetChanged);
}

// ---------------------------------------------------------------- observers

int Dataset::subscribe(Observer observer) {
    const int id = m_nextObserverId++;
    m_observers.emplace_back(id, std::move(observer));
    return id;
}

void Dataset::unsubscribe(int id) {
    std::erase_if(m_observers, [id](const auto& entry) { return entry.first == id; });
}

void Dataset::notify(DatasetEvent event, int field) {
    const auto observers = m_observers; // an observer may unsubscribe while it is called
    for (const auto& entry : observers)
        if (entry.second)
            entry.second(event, field);
}
