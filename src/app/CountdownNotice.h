#pragma once

#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>

class QPropertyAnimation;
class QWidget;
class NoticePopup;

// The notice that floats over the main window at start: a frameless, shadowed burlywood box
// with HTML text that fades in, stays for a while and fades out by itself.
//
// Each message stays at least its minimum display time and at most its maximum. In between it
// leaves as soon as the user has been active in the program since it appeared (a key press, a
// mouse button, or the pointer moved 20 pixels or more on either axis); without activity it
// stays until the maximum. Queued messages are shown one after another. A click anywhere on the
// box emits clicked(); the box does not hide itself on a click, the receiver decides (clear()).
class CountdownNotice : public QObject {
    Q_OBJECT

public:
    explicit CountdownNotice(QWidget* mainWindow);
    ~CountdownNotice() override;

    // Removes every message; a visible box disappears at once, without fading.
    void clear();
    // Queues a message; the times are in milliseconds from the moment it appears.
    void addMessage(const QString& html, int maxDisplayMs, int minDisplayMs);
    // Shows the queued messages, starting with the first; does nothing while one is showing.
    void showMessages();

    // True from showMessages() until the last message has faded out or clear() was called.
    bool isShowing() const;
    // Fade-in and fade-out time of the box (250 ms unless set).
    void setFadeDuration(int ms);
    // The top-level box itself, for tests and for callers that need its geometry.
    QWidget* popup() const;

    // Pointer travel, on either axis, that counts as user activity.
    static constexpr int activityDistance = 20;

signals:
    // A mouse button was pressed on the box while it showed message `index`.
    void clicked(int index);
    // Message `index` has left by itself (faded out); not emitted for clear().
    void messageClosed(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Message {
        QString html;
        int maxDisplayMs;
        int minDisplayMs;
    };
    enum class State { Idle, Visible, FadingOut };

    void appear(int index);
    void noteActivity();
    void leave();
    void fadeFinished();
    void stopWatching();
    void placeOverMainWindow();
    void popupPressed();

    friend class NoticePopup;

    QPointer<QWidget> m_mainWindow;
    QPointer<NoticePopup> m_popup;
    QPropertyAnimation* m_fade = nullptr;
    QTimer m_minTimer;
    QTimer m_maxTimer;
    QList<Message> m_messages;
    int m_index = -1;
    State m_state = State::Idle;
    bool m_minReached = false;
    bool m_active = false;
    bool m_watching = false;
    QPoint m_pointerAtAppearance;
    int m_fadeMs = 250;
};
