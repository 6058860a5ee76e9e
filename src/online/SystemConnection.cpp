#include "online/SystemConnection.h"

#include <QCoreApplication>
#include <QNetworkInformation>
#include <QNetworkInterface>

bool nonLoopbackInterfaceUp() {
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& i : interfaces) {
        const auto flags = i.flags();
        if (!flags.testFlag(QNetworkInterface::IsLoopBack) &&
            flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning))
            return true;
    }
    return false;
}

bool systemReportsConnection() {
    // The backends are plugins bound to the application object; without one there is no report.
    if (QCoreApplication::instance() &&
        QNetworkInformation::load(QNetworkInformation::Feature::Reachability)) {
        if (QNetworkInformation* info = QNetworkInformation::instance()) {
            switch (info->reachability()) {
            case QNetworkInformation::Reachability::Online:
            case QNetworkInformation::Reachability::Site:
                return true;
            case QNetworkInformation::Reachability::Disconnected:
            case QNetworkInformation::Reachability::Local:
                return false;
            case QNetworkInformation::Reachability::Unknown:
                break;
            }
        }
    }
    return nonLoopbackInterfaceUp();
}
