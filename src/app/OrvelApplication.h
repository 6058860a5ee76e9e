#pragma once

#include <QApplication>
#include <exception>
#include <functional>

// The application object: an exception that escapes any event handler ends up in one handler
// (the log book) instead of a dialog or a crash.
class OrvelApplication : public QApplication {
public:
    OrvelApplication(int& argc, char** argv);

    void setExceptionHandler(std::function<void(const std::exception&)> handler) {
        m_handler = std::move(handler);
    }
    bool notify(QObject* receiver, QEvent* event) override;

    // Fusion with a blue palette, the program's look on every platform.
    static void applyBlueStyle();

private:
    std::function<void(const std::exception&)> m_handler;
};
