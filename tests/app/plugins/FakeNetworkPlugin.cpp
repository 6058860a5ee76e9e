// Looks to Qt like a backend of its network information, so Qt loads it with the others.
#include "LoadMarker.h"

#include <QObject>

class FakeNetworkPlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.NetworkInformationBackendFactory")
};

#include "FakeNetworkPlugin.moc"
