#pragma once

#include <QFile>
#include <QTemporaryDir>

// A freetds.conf of the tests' own, so they do not depend on the machine's /etc/freetds.
// Lives for the whole suite (a member of the test object, set up in initTestCase).
class FreeTdsTestConfig {
public:
    bool install() {
        QFile conf(m_dir.filePath(QStringLiteral("freetds.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        conf.write("[global]\n\ttds version = 7.4\n");
        conf.close();
        return qputenv("FREETDSCONF", conf.fileName().toLocal8Bit());
    }

private:
    QTemporaryDir m_dir;
};
