// Looks to Qt like the platform plugin a program started without a display asks for.
#include "LoadMarker.h"

#include <QObject>

class FakePlatformPlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                          "offscreen.json")
};

#include "FakePlatformPlugin.moc"
