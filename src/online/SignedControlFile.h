#pragma once

#include "online/HttpsGet.h"
#include "online/UpdateControlFile.h"
#include "online/UpdateKey.h"

#include <QDate>
#include <QString>

#include <functional>
#include <optional>

// The update's control file as the program trusts it, for the program update and the support
// files alike: fetched over HTTPS with its signature (its address plus ".sig"), the signature
// verified with the maker's key over the control file's context line and the file's bytes, and
// then refused when it has expired or carries a lower serial than the highest one this program
// folder has seen. The highest serial is kept in the folder's file update_serial (one number,
// mode 0600), raised by every control file that passes.
class SignedControlFile {
public:
    static constexpr const char* kControlPath = "/secure/orvelsqlbackup.INF";
    static constexpr const char* kSerialFileName = "update_serial";

    // One GET as the caller makes it (its user agent, its worker thread).
    using Get = std::function<HttpsResult(HttpsRequest&)>;

    struct Read {
        std::optional<UpdateControlFile> file; // empty: error says why
        QString error;                          // German
    };

    // stateFolder: where update_serial lies (the program folder, ending in '/'). A key that is
    // not set reads the file unsigned and keeps no serial: such a build installs nothing.
    static Read fetch(const QString& url, const QString& caFile, const UpdateKey& key,
                      const QString& stateFolder, const Get& get,
                      const QDate& today = QDate::currentDate());

    // The checks of fetch on a file already fetched.
    static Read check(const QByteArray& text, const QByteArray* signature, const UpdateKey& key,
                      const QString& stateFolder, const QDate& today = QDate::currentDate());

    // The highest serial kept in stateFolder; 0 when none is.
    static quint64 highestSerial(const QString& stateFolder);
};
