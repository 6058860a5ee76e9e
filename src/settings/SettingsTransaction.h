#pragma once

class SettingsConnection;

// Several stores into the settings file as one: either all of them reach the file or none.
// Begun on construction (the file's write lock taken at once, waiting as the connection waits);
// what is not committed is rolled back when the transaction ends. The datasets keep the rows as
// they were stored meanwhile: after a rollback, reopen them before reading again.
class SettingsTransaction {
public:
    // Throws ProgramError when the connection is closed or the file's write lock cannot be had.
    explicit SettingsTransaction(SettingsConnection& connection);
    ~SettingsTransaction();
    SettingsTransaction(const SettingsTransaction&) = delete;
    SettingsTransaction& operator=(const SettingsTransaction&) = delete;

    // Throws ProgramError when the file refuses; everything is then rolled back.
    void commit();
    void rollback();
    bool active() const { return m_active; }

private:
    void run(const char* statement);

    SettingsConnection& m_connection;
    bool m_active = false;
};
