#pragma once

#include "core/LogBook.h"

class QPlainTextEdit;

// The log book on screen: each entry on top of the window's text control.
class ScreenLog : public LogView {
public:
    explicit ScreenLog(QPlainTextEdit* memo) : m_memo(memo) {}

    void showEntry(const QString& line) override;
    void clearEntries() override;

private:
    QPlainTextEdit* m_memo;
};
