#include "app/OrvelApplication.h"

#include <QPalette>
#include <QStyleFactory>

OrvelApplication::OrvelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool OrvelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        if (m_handler)
            m_handler(e);
    } catch (...) {
        if (m_handler)
            m_handler(std::runtime_error("Unbekannter Fehler"));
    }
    return false;
}

void OrvelApplication::applyBlueStyle() {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    const QColor window(0xE8, 0xF0, 0xFA);
    const QColor button(0xD4, 0xE4, 0xF7);
    const QColor highlight(0x1E, 0x63, 0xB4);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, QColor(0x10, 0x1E, 0x33));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xF1, 0xF6, 0xFC));
    p.setColor(QPalette::Text, QColor(0x10, 0x1E, 0x33));
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, QColor(0x10, 0x1E, 0x33));
    p.setColor(QPalette::Highlight, highlight);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, QColor(0x10, 0x1E, 0x33));
    QApplication::setPalette(p);
}
