#include "app/CountdownNotice.h"

#include <QApplication>
#include <QColor>
#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

namespace {

const QColor fillColour(0xDE, 0xB8, 0x87); // burlywood, both ends of the gradient
const QColor borderColour(0xC8, 0xC6, 0xC4);
constexpr int shadowMargin = 8; // room around the box for the shadow
constexpr int shadowOffset = 3; // the shadow falls to the lower right
constexpr int textPadding = 16; // between the border and the text

// Qt reads <font size=N> on the 1..7 scale of old HTML; the notice texts use larger numbers as
// a character height in pixels. Such sizes become a font-size style so the text shows as meant;
// sizes on the 1..7 scale and relative sizes (+1, -2) stay for Qt to interpret.
QString toQtRichText(const QString& html) {
    static const QRegularExpression fontTag(QStringLiteral("<font\\b([^>]*)>"),
                                            QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression sizeAttr(
        QStringLiteral(
            "\\bsize\\s*=\\s*(?:\"\\s*(\\d+)\\s*\"|'\\s*(\\d+)\\s*'|(\\d+)(?=[\\s/>]|$))"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression styleAttr(
        QStringLiteral("\\bstyle\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"),
        QRegularExpression::CaseInsensitiveOption);

    QString result;
    qsizetype copied = 0;
    auto tags = fontTag.globalMatch(html);
    while (tags.hasNext()) {
        const auto tag = tags.next();
        QString attributes = tag.captured(1);
        const auto size = sizeAttr.match(attributes);
        if (!size.hasMatch())
            continue;
        const QString digits = !size.captured(1).isEmpty()   ? size.captured(1)
                               : !size.captured(2).isEmpty() ? size.captured(2)
                                                             : size.captured(3);
        const int pixels = digits.toInt();
        if (pixels <= 7)
            continue;
        attributes.remove(size.capturedStart(), size.capturedLength());
        QString style = QStringLiteral("font-size:%1px;").arg(pixels);
        const auto existing = styleAttr.match(attributes);
        if (existing.hasMatch()) {
            style += existing.captured(1) + existing.captured(2);
            attributes.remove(existing.capturedStart(), existing.capturedLength());
        }
        result += QStringView(html).mid(copied, tag.capturedStart() - copied);
        result += QStringLiteral("<font style=\"%1\"%2>")
                      .arg(style, attributes.trimmed().isEmpty() ? QString()
                                                                 : u' ' + attributes.trimmed());
        copied = tag.capturedEnd();
    }
    result += QStringView(html).mid(copied);
    return result;
}

} // namespace

// The top-level box: paints shadow, fill and border itself and reports presses to its owner.
class NoticePopup : public QWidget {
public:
    NoticePopup(CountdownNotice* owner, QWidget* parent)
        : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                              Qt::WindowDoesNotAcceptFocus),
          m_owner(owner) {
        setObjectName(QStringLiteral("CountdownNoticePopup"));
        setAttribute(Qt::WA_TranslucentBackground);
        // The notice must not take the keyboard away from the window behind it.
        setAttribute(Qt::WA_ShowWithoutActivating);
        setCursor(Qt::PointingHandCursor);

        QFont font(QStringLiteral("Tahoma"));
        font.setPixelSize(11);
        setFont(font);

        m_label = new QLabel(this);
        m_label->setObjectName(QStringLiteral("CountdownNoticeText"));
        m_label->setTextFormat(Qt::RichText);
        m_label->setAlignment(Qt::AlignCenter);
        // The whole box is one click target; the label must not swallow presses.
        m_label->setAttribute(Qt::WA_TransparentForMouseEvents);
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(shadowMargin + textPadding, shadowMargin + textPadding,
                                   shadowMargin + textPadding, shadowMargin + textPadding);
        layout->addWidget(m_label);
    }

    void setHtml(const QString& html) {
        m_label->setText(toQtRichText(html));
        adjustSize();
    }

    // The visible box inside the shadow margin.
    QRect boxRect() const {
        return rect().adjusted(shadowMargin, shadowMargin, -shadowMargin, -shadowMargin);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, false);
        const QRect box = boxRect();

        // Stacked translucent rectangles, darker towards the middle, give a soft edge.
        painter.setPen(Qt::NoPen);
        const QRect shadow = box.translated(shadowOffset, shadowOffset);
        for (int i = shadowMargin - shadowOffset; i >= 0; --i)
            painter.fillRect(shadow.adjusted(-i, -i, i, i), QColor(0, 0, 0, 14));

        QLinearGradient gradient(box.topLeft(), box.bottomLeft());
        gradient.setColorAt(0, fillColour);
        gradient.setColorAt(1, fillColour);
        painter.fillRect(box, gradient);
        painter.setPen(borderColour);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box.adjusted(0, 0, -1, -1));
    }

    void mousePressEvent(QMouseEvent* event) override {
        event->accept();
        if (boxRect().contains(event->position().toPoint()))
            m_owner->popupPressed();
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override { mousePressEvent(event); }
    void mouseReleaseEvent(QMouseEvent* event) override { event->accept(); }

private:
    CountdownNotice* m_owner;
    QLabel* m_label;
};

CountdownNotice::CountdownNotice(QWidget* mainWindow)
    : QObject(mainWindow), m_mainWindow(mainWindow) {
    m_popup = new NoticePopup(this, mainWindow ? mainWindow->window() : nullptr);
    m_fade = new QPropertyAnimation(m_popup, "windowOpacity", this);
    connect(m_fade, &QPropertyAnimation::finished, this, &CountdownNotice::fadeFinished);

    for (QTimer* timer : {&m_minTimer, &m_maxTimer}) {
        timer->setSingleShot(true);
        // Coarse timers may fire a little early; the minimum time is a promise.
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_minTimer, &QTimer::timeout, this, [this] {
        m_minReached = true;
        if (m_active)
            leave();
    });
    connect(&m_maxTimer, &QTimer::timeout, this, &CountdownNotice::leave);
}

CountdownNotice::~CountdownNotice() {
    stopWatching();
    delete m_popup.data();
}

void CountdownNotice::clear() {
    stopWatching();
    m_minTimer.stop();
    m_maxTimer.stop();
    m_fade->stop();
    if (m_popup) {
        m_popup->hide();
        m_popup->setWindowOpacity(1.0);
    }
    m_messages.clear();
    m_index = -1;
    m_state = State::Idle;
}

void CountdownNotice::addMessage(const QString& html, int maxDisplayMs, int minDisplayMs) {
    minDisplayMs = qMax(0, minDisplayMs);
    // A maximum below the minimum cannot be honoured; the minimum wins.
    maxDisplayMs = qMax(minDisplayMs, maxDisplayMs);
    m_messages.append({html, maxDisplayMs, minDisplayMs});
}

void CountdownNotice::showMessages() {
    if (m_state != State::Idle || m_messages.isEmpty() || !m_popup)
        return;
    appear(0);
}

bool CountdownNotice::isShowing() const {
    return m_state != State::Idle;
}

void CountdownNotice::setFadeDuration(int ms) {
    m_fadeMs = qMax(0, ms);
}

QWidget* CountdownNotice::popup() const {
    return m_popup;
}

void CountdownNotice::appear(int index) {
    const Message& message = m_messages.at(index);
    m_index = index;
    m_state = State::Visible;
    m_minReached = false;
    m_active = false;

    m_popup->setHtml(message.html);
    placeOverMainWindow();

    m_pointerAtAppearance = QCursor::pos();
    if (!m_watching) {
        qApp->installEventFilter(this);
        m_watching = true;
    }
    m_minTimer.start(message.minDisplayMs);
    // The fade-out ends by the maximum display time, not a fade's length after it.
    m_maxTimer.start(qMax(message.minDisplayMs, message.maxDisplayMs - m_fadeMs));

    m_fade->stop();
    m_fade->setDuration(m_fadeMs);
    m_fade->setStartValue(0.0);
    m_fade->setEndValue(1.0);
    m_popup->setWindowOpacity(m_fadeMs > 0 ? 0.0 : 1.0);
    m_popup->show();
    m_popup->raise();
    if (m_fadeMs > 0)
        m_fade->start();
}

void CountdownNotice::placeOverMainWindow() {
    QRect area;
    if (m_mainWindow && m_mainWindow->window()->isVisible())
        area = m_mainWindow->window()->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    QRect geometry(QPoint(0, 0), m_popup->size());
    geometry.moveCenter(area.center());
    m_popup->move(geometry.topLeft());
}

bool CountdownNotice::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
        noteActivity();
        break;
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseMove: {
        const QPoint travel =
            static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - m_pointerAtAppearance;
        if (qAbs(travel.x()) >= activityDistance || qAbs(travel.y()) >= activityDistance)
            noteActivity();
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CountdownNotice::noteActivity() {
    if (m_state != State::Visible)
        return;
    m_active = true;
    if (m_minReached)
        leave();
}

void CountdownNotice::leave() {
    if (m_state != State::Visible)
        return;
    m_minTimer.stop();
    m_maxTimer.stop();
    stopWatching();
    m_state = State::FadingOut;

    const qreal from = m_popup->windowOpacity();
    m_fade->stop();
    m_fade->setDuration(qRound(m_fadeMs * from));
    m_fade->setStartValue(from);
    m_fade->setEndValue(0.0);
    if (m_fade->duration() > 0)
        m_fade->start();
    else
        fadeFinished();
}

void CountdownNotice::fadeFinished() {
    if (m_state != State::FadingOut)
        return; // the fade-in ended; the message stays
    m_popup->hide();
    m_popup->setWindowOpacity(1.0);
    const int closed = m_index;
    m_state = State::Idle;
    emit messageClosed(closed);
    // The receiver may have cleared or restarted the notice.
    if (m_state == State::Idle && closed == m_index && closed + 1 < m_messages.size())
        appear(closed + 1);
}

void CountdownNotice::stopWatching() {
    if (m_watching) {
        if (qApp)
            qApp->removeEventFilter(this);
        m_watching = false;
    }
}

void CountdownNotice::popupPressed() {
    if (m_state != State::Idle)
        emit clicked(m_index);
}
