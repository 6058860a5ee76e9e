#pragma once

#include "platform/ProgramError.h"
#include "tgputtylib/tgputtylib.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <exception>
#include <functional>

class QIODevice;
struct TGPuttyLibrary;

// The error of an SFTP session operation.
class TGPuttySFTPException : public ProgramError {
public:
    using ProgramError::ProgramError;
};

enum TProxyTypes {
    PROXY_NONE,
    PROXY_SOCKS4,
    PROXY_SOCKS5,
    PROXY_HTTP,
    PROXY_TELNET,
    PROXY_CMD,
    PROXY_FUZZ
};

// One SSH/SFTP session of libtgputtylib.so. The library is loaded from the program folder when
// the first session is created; every later session uses the same library. Texts exchanged with
// the library are 8-bit and passed unchanged (the caller encodes names as UTF-8); error texts
// are decoded from UTF-8.
//
// A session is used by one thread at a time, and every event handler is called on the thread
// that called the operation. Operations throw TGPuttySFTPException on failure; a failed
// operation leaves the session usable.
class TTGPuttySFTP {
public:
    using TOnMessage = std::function<void(const QByteArray& Msg, bool isstderr)>;
    using TOnCheckpoint = std::function<void(const QByteArray& Msg, quint8 kind)>;
    using TOnProgress = std::function<bool(qint64 bytescopied, bool isupload)>;
    using TOnListing = std::function<bool(const fxp_names* names)>;
    using TOnGetInput = std::function<QByteArray(bool& cancel)>;
    using TOnVerifyHostKey =
        std::function<bool(const QByteArray& host, qint32 port, const QByteArray& fingerprint,
                           qint32 verificationstatus, bool& storehostkey)>;

    static constexpr int MinimumBuild = 8;
    static constexpr int ExpectedConfCount = TGPUTTYLIB_CONF_COUNT;
    static constexpr qint32 NoErrorCode = -1000;

    // The folder the library is loaded from (ending in '/'); the executable's folder unless set
    // before the first session is created.
    static void setLibraryFolder(const QString& folder);
    static QString libraryFolder();

    static QString libraryFileName() { return QStringLiteral("libtgputtylib.so"); }

    // Loads and checks the library and prepares the context; throws ProgramError or
    // TGPuttySFTPException with the reason.
    explicit TTGPuttySFTP(bool verbose);
    virtual ~TTGPuttySFTP();
    TTGPuttySFTP(const TTGPuttySFTP&) = delete;
    TTGPuttySFTP& operator=(const TTGPuttySFTP&) = delete;

    void Connect();
    void Disconnect();
    void ChangeDir(const QByteArray& ADirectory);
    void MakeDir(const QByteArray& ADirectory);
    void RemoveDir(const QByteArray& ADirectory);
    void ListDir(const QByteArray& ADirectory);
    void GetStat(const QByteArray& AFileName, fxp_attrs& Attrs);
    void SetStat(const QByteArray& AFileName, const fxp_attrs& Attrs);
    // statOut, when given, receives what the stat before the change found (size included).
    void SetModifiedDate(const QByteArray& AFileName, const QDateTime& ATimestamp, bool isUTC,
                         fxp_attrs* statOut = nullptr);
    void SetFileSize(const QByteArray& AFileName, qint64 ASize);
    void SetUnixMode(const QByteArray& AFileName, qint32 AMode);
    void Move(const QByteArray& AFromName, const QByteArray& AToName);
    void MoveEx(const QByteArray& AFromName, const QByteArray& AToName, qint32 MoveFlags);
    void DeleteFile(const QByteArray& AName);
    void UploadFile(const QByteArray& ALocalFilename, const QByteArray& ARemoteFilename,
                    bool anAppend);
    void DownloadFile(const QByteArray& ARemoteFilename, const QByteArray& ALocalFilename,
                      bool anAppend);
    void UploadStream(const QByteArray& ARemoteFilename, QIODevice* AStream, bool anAppend);
    void DownloadStream(const QByteArray& ARemoteFilename, QIODevice* AStream, bool anAppend);
    // The streamed download with its own flow control, progress throttling and idle time-out.
    void DownloadStreamP(const QByteArray& ARemoteFilename, QIODevice* AStream, bool anAppend);

    tg_filehandle* OpenFile(const QByteArray& apathname, qint32 anopenflags, fxp_attrs* attrs);
    qint32 CloseFile(tg_filehandle*& fh);
    tg_xfer* xfer_upload_init(tg_filehandle* fh, quint64 offset);
    bool xfer_upload_ready(tg_xfer* xfer);
    void xfer_upload_data(tg_xfer* xfer, char* buffer, qint32 len, quint64 offset);
    tg_xfer* xfer_download_init(tg_filehandle* fh, quint64 offset);
    bool xfer_download_preparequeue(tg_xfer* xfer);
    bool xfer_download_data(tg_xfer* xfer, void** buf, qint32* len);
    void xfer_set_error(tg_xfer* xfer);
    bool xfer_ensuredone(tg_xfer* xfer);
    bool xfer_done(tg_xfer* xfer);
    void xfer_cleanup(tg_xfer* xfer);

    void SetBooleanConfigValue(const QByteArray& OptionName, bool OptionValue);
    void SetIntegerConfigValue(const QByteArray& OptionName, qint32 OptionValue);
    qint32 GetPuttyConfIndex(const QString& name) const;
    QString MakePSFTPErrorMsg(const QString& where) const;

    // Properties.
    QByteArray HostName() const { return FHostName; }
    // The known_hosts file host keys are checked against and stored in; without it, the one
    // beside the library. Set before Connect.
    void setKnownHostsFile(const QString& path);
    void setHostName(const QByteArray& v) { FHostName = v; }
    QByteArray UserName() const { return FUserName; }
    void setUserName(const QByteArray& v) { FUserName = v; }
    QByteArray Password() const { return FPassword; }
    void setPassword(const QByteArray& v) { FPassword = v; }
    QByteArray KeyPassword() const { return FKeyPassword; }
    void setKeyPassword(const QByteArray& v) { FKeyPassword = v; }
    qint32 Port() const { return FPort; }
    void setPort(qint32 v) { FPort = v; }
    QByteArray HomeDir() const;
    QByteArray WorkDir() const;
    QString LibVersion() const;
    bool Connected() const { return FConnected; }
    bool Verbose() const { return FVerbose; }
    void setVerbose(bool v);
    bool Checkpoints() const { return FCheckpoints; }
    void setCheckpoints(bool v);
    void setKeyfile(const QByteArray& fileName);
    QByteArray LastMessages() const { return FLastMessages; }
    void setLastMessages(const QByteArray& v) { FLastMessages = v; }
    qint32 ErrorCode() const { return Fcontext.fxp_errtype; }
    QByteArray ErrorMessage() const;
    qint32 TimeoutTicks() const { return Fcontext.timeoutticks; }
    void setTimeoutTicks(qint32 v) { Fcontext.timeoutticks = v; }
    qint32 ConnectionTimeoutTicks() const { return Fcontext.connectiontimeoutticks; }
    void setConnectionTimeoutTicks(qint32 v) { Fcontext.connectiontimeoutticks = v; }
    // Safe to set from another thread while an operation runs: the library polls it.
    bool Aborted() const { return Fcontext.aborted; }
    void setAborted(bool v) { Fcontext.aborted = v; }
    TProxyTypes ProxyType() const;
    void setProxyType(TProxyTypes v);
    qint32 ProxyPort() const;
    void setProxyPort(qint32 v);
    QByteArray ProxyHost() const;
    void setProxyHost(const QByteArray& v);
    QByteArray ProxyUserName() const;
    void setProxyUserName(const QByteArray& v);
    QByteArray ProxyPassword() const;
    void setProxyPassword(const QByteArray& v);
    qint32 ProgressIntervalMS() const { return FProgressIntervalMS; }
    void setProgressIntervalMS(qint32 v) { FProgressIntervalMS = v; }
    qint64 ProgressAfterBytes() const { return FProgressAfterBytes; }
    void setProgressAfterBytes(qint64 v) { FProgressAfterBytes = v; }
    qint32 LibraryBuild() const { return tgputtylibbuild; }

    TOnMessage OnMessage;
    TOnCheckpoint OnCheckpoint;
    TOnProgress OnProgress;
    TOnListing OnListing;
    TOnGetInput OnGetInput;
    TOnVerifyHostKey OnVerifyHostKey;

private:
    template <typename F> void standardCall(const char* word, F&& call);
    void rethrowPending();
    void message(const QByteArray& text, int kind);
    void checkpoint(const char* label);
    qint32 confInt(const char* name) const;
    QByteArray confStr(const char* name) const;
    void setConfInt(const char* name, qint32 value);
    void setConfStr(const char* name, const QByteArray& value);

    static bool cbListing(const fxp_names* names, TTGLibraryContext* ctx);
    static const char* cbPassword(const char* prompt, bool echo, bool* cancel,
                                  TTGLibraryContext* ctx);
    static void cbMessage(const char* msg, uint8_t kind, TTGLibraryContext* ctx);
    static bool cbProgress(int64_t bytes, bool isupload, TTGLibraryContext* ctx);
    static int32_t cbRead(uint64_t offset, void* buffer, int32_t size, TTGLibraryContext* ctx);
    static int32_t cbWrite(uint64_t offset, const void* buffer, int32_t size,
                           TTGLibraryContext* ctx);
    static bool cbInput(char* line, int32_t maxlen, TTGLibraryContext* ctx);
    static bool cbHostKey(const char* host, int32_t port, int32_t, int32_t, const char* fingerprint,
                          int32_t status, bool* store, TTGLibraryContext* ctx);
    static void cbFatal(const char* msg, const char* file, int32_t line, TTGLibraryContext* ctx);
    static TTGPuttySFTP* of(TTGLibraryContext* ctx);

    TTGLibraryContext Fcontext{};
    bool FVerbose = false;
    bool FCheckpoints = false;
    QByteArray FHostName;
    QByteArray FUserName;
    QByteArray FPassword;
    QByteArray FKeyPassword;
    qint32 FPort = 0;
    QIODevice* FUploadStream = nullptr;
    QIODevice* FDownloadStream = nullptr;
    bool FConnected = false;
    qint32 FPasswordAttempts = 0;
    QByteArray FLastMessages;
    char** FConfNames = nullptr;
    int32_t* FConfTypes = nullptr;
    int32_t* FConfSubTypes = nullptr;
    qint32 FConfCount = 0;
    qint32 FProgressIntervalMS = 1000;
    qint64 FProgressAfterBytes = 0;
    qint32 tgputtylibbuild = 0;

    const TGPuttyLibrary* m_lib = nullptr;
    bool m_contextReady = false;
    // A failure inside a callback: kept until the library call returns, then thrown.
    std::exception_ptr m_pending;
};
