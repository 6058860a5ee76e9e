#include "transfer/sftp/TTGPuttySFTP.h"

#include "transfer/sftp/TGPuttyLibrary.h"

#include <QCoreApplication>
#include <QFile>
#include <QIODevice>
#include <QMutex>

#include <cstdio>
#include <cstring>

namespace {

QString s_libraryFolder;
QMutex s_folderLock;

QByteArray crlf() {
    return QByteArrayLiteral("\r\n");
}

} // namespace

void TTGPuttySFTP::setLibraryFolder(const QString& folder) {
    QMutexLocker lock(&s_folderLock);
    s_libraryFolder = folder;
    if (!s_libraryFolder.isEmpty() && !s_libraryFolder.endsWith(QLatin1Char('/')))
        s_libraryFolder += QLatin1Char('/');
}

QString TTGPuttySFTP::libraryFolder() {
    QMutexLocker lock(&s_folderLock);
    if (!s_libraryFolder.isEmpty())
        return s_libraryFolder;
    return QCoreApplication::applicationDirPath() + QLatin1Char('/');
}

TTGPuttySFTP::TTGPuttySFTP(bool verbose) {
    // 1. The library, its record sizes.
    QString why;
    m_lib = TGPuttyLibrary::load(libraryFolder(), &why);
    if (!m_lib) {
        // Which file, and why: the administrator reads nothing else about it.
        const QString path = libraryFolder() + libraryFileName();
        throw ProgramError(QStringLiteral("TGPuttyLib is not available (%1)")
                               .arg(why.contains(path) ? why : path + QStringLiteral(": ") + why));
    }
    int32_t ulongSize = 0, nameSize = 0, attrSize = 0, namesSize = 0;
    m_lib->tggetstructsizes(&ulongSize, &nameSize, &attrSize, &namesSize);
    if (ulongSize != int32_t(sizeof(tg_ulong)) || nameSize != int32_t(sizeof(fxp_name)) ||
        attrSize != int32_t(sizeof(fxp_attrs)) || namesSize != int32_t(sizeof(fxp_names)))
        throw ProgramError(
            QStringLiteral("Invalid tgputtylib.dll: uses different struct sizes: ulongsize=%1/%2,"
                           "namesize=%3/%4,attrsize=%5/%6,namessize=%7/%8")
                .arg(ulongSize)
                .arg(sizeof(tg_ulong))
                .arg(nameSize)
                .arg(sizeof(fxp_name))
                .arg(attrSize)
                .arg(sizeof(fxp_attrs))
                .arg(namesSize)
                .arg(sizeof(fxp_names)));
    // 2. The build.
    double release = 0;
    int32_t build = 0;
    m_lib->tgputtygetversions(&release, &build);
    tgputtylibbuild = build;
    if (build < MinimumBuild)
        throw ProgramError(QStringLiteral("tgputtylib is too old, its build number is %1, but we "
                                          "need a minimum of %2")
                               .arg(build)
                               .arg(MinimumBuild));
    // 3. The context.
    Fcontext = TTGLibraryContext{};
    Fcontext.timeoutticks = 60000;
    Fcontext.connectiontimeoutticks = 60000;
    FVerbose = verbose;
    FProgressIntervalMS = 1000;
    Fcontext.structsize = sizeof(TTGLibraryContext);
    // 4.
    if (m_lib->tggetlibrarycontextsize() > int32_t(sizeof(TTGLibraryContext)))
        throw ProgramError(QStringLiteral("Incorrect TTGLibraryContext record size"));
    // 5. Callbacks.
    Fcontext.Tag = reinterpret_cast<quintptr>(this);
    Fcontext.ls_callback = &cbListing;
    Fcontext.getpassword_callback = &cbPassword;
    Fcontext.printmessage_callback = &cbMessage;
    Fcontext.progress_callback = &cbProgress;
    Fcontext.read_from_stream = &cbRead;
    Fcontext.write_to_stream = &cbWrite;
    Fcontext.get_input_callback = &cbInput;
    Fcontext.verify_host_key_callback = &cbHostKey;
    Fcontext.raise_exception_callback = &cbFatal;
    // 6.
    if (m_lib->tgputty_initcontext(verbose, &Fcontext) != 0)
        throw TGPuttySFTPException(
            QStringLiteral("tgputty_initcontext failed - incorrect tgputtylib version?"));
    m_contextReady = true;
    // 7.
    if (!m_lib->tgputty_getconfigarrays(&FConfTypes, &FConfSubTypes, &FConfNames, &FConfCount)) {
        m_lib->tgputtyfree(&Fcontext);
        throw TGPuttySFTPException(
            QStringLiteral("tgputty_getconfigarrays failed - incorrect tgputtylib version?"));
    }
    // 8.
    if (FConfCount != ExpectedConfCount)
        cbMessage(QStringLiteral("Possibly tgputtylib version mismatch, it has %1 config strings, "
                                 "but we expected %2")
                      .arg(FConfCount)
                      .arg(ExpectedConfCount)
                      .toUtf8()
                      .constData(),
                  TG_MSG_NORMAL, &Fcontext);
    // 9.
    TGPuttyLibrary::buildConfIndex(*m_lib, FConfNames, FConfCount);
}

TTGPuttySFTP::~TTGPuttySFTP() {
    Disconnect();
    if (m_contextReady)
        m_lib->tgputtyfree(&Fcontext);
}

TTGPuttySFTP* TTGPuttySFTP::of(TTGLibraryContext* ctx) {
    return reinterpret_cast<TTGPuttySFTP*>(static_cast<quintptr>(ctx->Tag));
}

void TTGPuttySFTP::rethrowPending() {
    if (m_pending) {
        std::exception_ptr e = m_pending;
        m_pending = nullptr;
        std::rethrow_exception(e);
    }
}

template <typename F> void TTGPuttySFTP::standardCall(const char* word, F&& call) {
    FLastMessages.clear();
    Fcontext.fxp_errtype = NoErrorCode;
    m_pending = nullptr;
    const bool ok = call();
    rethrowPending();
    if (!ok)
        throw TGPuttySFTPException(MakePSFTPErrorMsg(QLatin1String(word)));
}

QString TTGPuttySFTP::MakePSFTPErrorMsg(const QString& where) const {
    if (Fcontext.fxp_errtype < 0)
        return where + QStringLiteral(": Unknown Error.\r\n") + QString::fromUtf8(FLastMessages);
    return where + QStringLiteral(": Error %1, ").arg(Fcontext.fxp_errtype) +
           QString::fromUtf8(Fcontext.fxp_error_message ? Fcontext.fxp_error_message : "");
}

void TTGPuttySFTP::Connect() {
    FPasswordAttempts = 0;
    FLastMessages.clear();
    Fcontext.fxp_errtype = NoErrorCode;
    m_pending = nullptr;
    const int32_t rc = m_lib->tgsftp_connect(FHostName.constData(), FUserName.constData(), FPort,
                                             FPassword.constData(), &Fcontext);
    FConnected = rc == 0;
    rethrowPending();
    if (rc != 0)
        throw TGPuttySFTPException(MakePSFTPErrorMsg(QStringLiteral("tgsftp_connect")));
}

void TTGPuttySFTP::Disconnect() {
    if (FConnected) {
        m_lib->tgsftp_close(&Fcontext);
        FConnected = false;
    }
}

void TTGPuttySFTP::ChangeDir(const QByteArray& d) {
    standardCall("tgsftp_cd", [&] { return m_lib->tgsftp_cd(d.constData(), &Fcontext) == 1; });
}

void TTGPuttySFTP::MakeDir(const QByteArray& d) {
    standardCall("tgsftp_mkdir",
                 [&] { return m_lib->tgsftp_mkdir(d.constData(), &Fcontext) == 1; });
}

void TTGPuttySFTP::RemoveDir(const QByteArray& d) {
    standardCall("tgsftp_rmdir",
                 [&] { return m_lib->tgsftp_rmdir(d.constData(), &Fcontext) == 1; });
}

void TTGPuttySFTP::ListDir(const QByteArray& d) {
    standardCall("tgsftp_ls", [&] { return m_lib->tgsftp_ls(d.constData(), &Fcontext) == 1; });
}

void TTGPuttySFTP::GetStat(const QByteArray& f, fxp_attrs& a) {
    standardCall("tgsftp_getstat",
                 [&] { return m_lib->tgsftp_getstat(f.constData(), &a, &Fcontext); });
}

void TTGPuttySFTP::SetStat(const QByteArray& f, const fxp_attrs& a) {
    standardCall("tgsftp_setstat",
                 [&] { return m_lib->tgsftp_setstat(f.constData(), &a, &Fcontext); });
}

void TTGPuttySFTP::SetModifiedDate(const QByteArray& f, const QDateTime& ts, bool isUTC,
                                   fxp_attrs* statOut) {
    fxp_attrs attrs{};
    GetStat(f, attrs);
    if (statOut)
        *statOut = attrs;
    attrs.flags = TG_ATTR_ACMODTIME;
    QDateTime t = ts;
    // A timestamp read as local time is converted to UTC; one given as UTC is taken as it is.
    t.setTimeSpec(isUTC ? Qt::UTC : Qt::LocalTime);
    const qint64 secs = t.isValid() ? t.toSecsSinceEpoch() : 0;
    attrs.mtime = secs < 0 ? 0 : static_cast<tg_ulong>(secs & 0xFFFFFFFF);
    SetStat(f, attrs);
}

void TTGPuttySFTP::SetFileSize(const QByteArray& f, qint64 size) {
    fxp_attrs attrs{};
    GetStat(f, attrs);
    attrs.flags = TG_ATTR_SIZE;
    attrs.size = static_cast<uint64_t>(size);
    SetStat(f, attrs);
}

void TTGPuttySFTP::SetUnixMode(const QByteArray& f, qint32 mode) {
    fxp_attrs attrs{};
    GetStat(f, attrs);
    attrs.flags = TG_ATTR_PERMISSIONS;
    attrs.permissions = static_cast<tg_ulong>(mode);
    SetStat(f, attrs);
}

void TTGPuttySFTP::Move(const QByteArray& a, const QByteArray& b) {
    standardCall("tgsftp_mv",
                 [&] { return m_lib->tgsftp_mv(a.constData(), b.constData(), &Fcontext) == 1; });
}

void TTGPuttySFTP::MoveEx(const QByteArray& a, const QByteArray& b, qint32 flags) {
    standardCall("tgsftp_mvex", [&] {
        return m_lib->tgsftp_mvex(a.constData(), b.constData(), flags, &Fcontext) == 1;
    });
}

void TTGPuttySFTP::DeleteFile(const QByteArray& n) {
    standardCall("tgsftp_rm", [&] { return m_lib->tgsftp_rm(n.constData(), &Fcontext) == 1; });
}

void TTGPuttySFTP::UploadFile(const QByteArray& local, const QByteArray& remote, bool append) {
    standardCall("tgsftp_putfile", [&] {
        return m_lib->tgsftp_putfile(local.constData(), remote.constData(), append, &Fcontext) == 1;
    });
}

void TTGPuttySFTP::DownloadFile(const QByteArray& remote, const QByteArray& local, bool append) {
    standardCall("tgsftp_getfile", [&] {
        return m_lib->tgsftp_getfile(remote.constData(), local.constData(), append, &Fcontext) == 1;
    });
}

void TTGPuttySFTP::UploadStream(const QByteArray& remote, QIODevice* stream, bool append) {
    FUploadStream = stream;
    struct Reset {
        QIODevice*& ref;
        ~Reset() { ref = nullptr; }
    } reset{FUploadStream};
    standardCall("tgsftp_putfile", [&] {
        return m_lib->tgsftp_putfile(nullptr, remote.constData(), append, &Fcontext) == 1;
    });
}

void TTGPuttySFTP::DownloadStream(const QByteArray& remote, QIODevice* stream, bool append) {
    FDownloadStream = stream;
    struct Reset {
        QIODevice*& ref;
        ~Reset() { ref = nullptr; }
    } reset{FDownloadStream};
    standardCall("tgsftp_getfile", [&] {
        return m_lib->tgsftp_getfile(remote.constData(), nullptr, append, &Fcontext) == 1;
    });
}

tg_filehandle* TTGPuttySFTP::OpenFile(const QByteArray& name, qint32 flags, fxp_attrs* attrs) {
    return m_lib->tgputty_openfile(name.constData(), flags, attrs, &Fcontext);
}

qint32 TTGPuttySFTP::CloseFile(tg_filehandle*& fh) {
    return m_lib->tgputty_closefile(&fh, &Fcontext);
}

tg_xfer* TTGPuttySFTP::xfer_upload_init(tg_filehandle* fh, quint64 offset) {
    return m_lib->tgputty_xfer_upload_init(fh, offset, &Fcontext);
}
bool TTGPuttySFTP::xfer_upload_ready(tg_xfer* x) {
    return m_lib->tgputty_xfer_upload_ready(x, &Fcontext);
}
void TTGPuttySFTP::xfer_upload_data(tg_xfer* x, char* buffer, qint32 len, quint64 offset) {
    m_lib->tgputty_xfer_upload_data(x, buffer, len, offset, &Fcontext);
}
tg_xfer* TTGPuttySFTP::xfer_download_init(tg_filehandle* fh, quint64 offset) {
    return m_lib->tgputty_xfer_download_init(fh, offset, &Fcontext);
}
bool TTGPuttySFTP::xfer_download_preparequeue(tg_xfer* x) {
    return m_lib->tgputty_xfer_download_preparequeue(x, &Fcontext);
}
bool TTGPuttySFTP::xfer_download_data(tg_xfer* x, void** buf, qint32* len) {
    return m_lib->tgputty_xfer_download_data(x, buf, len, &Fcontext);
}
void TTGPuttySFTP::xfer_set_error(tg_xfer* x) {
    m_lib->tgputty_xfer_set_error(x, &Fcontext);
}
bool TTGPuttySFTP::xfer_ensuredone(tg_xfer* x) {
    return m_lib->tgputty_xfer_ensuredone(x, &Fcontext);
}
bool TTGPuttySFTP::xfer_done(tg_xfer* x) {
    return m_lib->tgputty_xfer_done(x, &Fcontext);
}
void TTGPuttySFTP::xfer_cleanup(tg_xfer* x) {
    m_lib->tgputty_xfer_cleanup(x, &Fcontext);
}

qint32 TTGPuttySFTP::GetPuttyConfIndex(const QString& name) const {
    const auto it = m_lib->confIndex.constFind(name.toLower());
    if (it == m_lib->confIndex.constEnd())
        throw TGPuttySFTPException(QStringLiteral("Putty Conf Name Not Found: ") + name);
    return it.value();
}

void TTGPuttySFTP::SetBooleanConfigValue(const QByteArray& name, bool value) {
    m_lib->tgputty_conf_set_bool(GetPuttyConfIndex(QString::fromUtf8(name)), value, &Fcontext);
}

void TTGPuttySFTP::SetIntegerConfigValue(const QByteArray& name, qint32 value) {
    m_lib->tgputty_conf_set_int(GetPuttyConfIndex(QString::fromUtf8(name)), value, &Fcontext);
}

qint32 TTGPuttySFTP::confInt(const char* name) const {
    return m_lib->tgputty_conf_get_int(GetPuttyConfIndex(QLatin1String(name)),
                                       const_cast<TTGLibraryContext*>(&Fcontext));
}

QByteArray TTGPuttySFTP::confStr(const char* name) const {
    const char* v = m_lib->tgputty_conf_get_str(GetPuttyConfIndex(QLatin1String(name)),
                                                const_cast<TTGLibraryContext*>(&Fcontext));
    return QByteArray(v ? v : "");
}

void TTGPuttySFTP::setConfInt(const char* name, qint32 value) {
    m_lib->tgputty_conf_set_int(GetPuttyConfIndex(QLatin1String(name)), value, &Fcontext);
}

void TTGPuttySFTP::setKnownHostsFile(const QString& path) {
    // A library without the entry keeps its known_hosts beside itself.
    if (m_lib->confIndex.contains(QStringLiteral("known_hosts_file")))
        setConfStr("known_hosts_file", QFile::encodeName(path));
}

void TTGPuttySFTP::setConfStr(const char* name, const QByteArray& value) {
    m_lib->tgputty_conf_set_str(GetPuttyConfIndex(QLatin1String(name)), value.constData(),
                                &Fcontext);
}

TProxyTypes TTGPuttySFTP::ProxyType() const {
    return static_cast<TProxyTypes>(confInt("proxy_type"));
}
void TTGPuttySFTP::setProxyType(TProxyTypes v) {
    setConfInt("proxy_type", v);
}
qint32 TTGPuttySFTP::ProxyPort() const {
    return confInt("proxy_port");
}
void TTGPuttySFTP::setProxyPort(qint32 v) {
    setConfInt("proxy_port", v);
}
QByteArray TTGPuttySFTP::ProxyHost() const {
    return confStr("proxy_host");
}
void TTGPuttySFTP::setProxyHost(const QByteArray& v) {
    setConfStr("proxy_host", v);
}
QByteArray TTGPuttySFTP::ProxyUserName() const {
    return confStr("proxy_username");
}
void TTGPuttySFTP::setProxyUserName(const QByteArray& v) {
    setConfStr("proxy_username", v);
}
QByteArray TTGPuttySFTP::ProxyPassword() const {
    return confStr("proxy_password");
}
void TTGPuttySFTP::setProxyPassword(const QByteArray& v) {
    setConfStr("proxy_password", v);
}

QByteArray TTGPuttySFTP::HomeDir() const {
    return QByteArray(Fcontext.homedir ? Fcontext.homedir : "");
}

QByteArray TTGPuttySFTP::WorkDir() const {
    return QByteArray(Fcontext.pwd ? Fcontext.pwd : "");
}

QByteArray TTGPuttySFTP::ErrorMessage() const {
    return QByteArray(Fcontext.fxp_error_message ? Fcontext.fxp_error_message : "");
}

QString TTGPuttySFTP::LibVersion() const {
    double release = 0;
    int32_t build = 0;
    m_lib->tgputtygetversions(&release, &build);
    return QStringLiteral("tgputtylib build %1 based on PuTTY Release %2")
        .arg(build)
        .arg(release, 0, 'f', 2);
}

void TTGPuttySFTP::setVerbose(bool v) {
    FVerbose = v;
    m_lib->tgputty_setverbose(int(FVerbose) + 2 * int(FCheckpoints));
}

void TTGPuttySFTP::setCheckpoints(bool v) {
    FCheckpoints = v;
    m_lib->tgputty_setverbose(int(FVerbose) + 2 * int(FCheckpoints));
}

void TTGPuttySFTP::setKeyfile(const QByteArray& fileName) {
    m_lib->tgputty_setkeyfile(fileName.constData(), &Fcontext);
}

// Callbacks. They run inside the library, some inside libssh2's own frames, so nothing may
// unwind through them: a handler's exception is kept and thrown once the library call returns.

bool TTGPuttySFTP::cbListing(const fxp_names* names, TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    if (!self->OnListing)
        return true;
    try {
        return self->OnListing(names);
    } catch (...) {
        self->m_pending = std::current_exception();
        return false;
    }
}

const char* TTGPuttySFTP::cbPassword(const char* prompt, bool, bool* cancel,
                                     TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    ++self->FPasswordAttempts;
    if (self->FPasswordAttempts <= 3) {
        *cancel = false;
        if (std::strstr(prompt ? prompt : "", "Passphrase for key"))
            return self->FKeyPassword.constData();
        return self->FPassword.constData();
    }
    *cancel = true;
    if (self->OnMessage) {
        try {
            self->OnMessage(QByteArrayLiteral("Password was rejected, or no password given for ") +
                                QByteArray(prompt ? prompt : "") + QByteArrayLiteral(".") + crlf(),
                            true);
        } catch (...) {
            self->m_pending = std::current_exception();
        }
    }
    return nullptr;
}

void TTGPuttySFTP::cbMessage(const char* msg, uint8_t kind, TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    const QByteArray text(msg ? msg : "");
    try {
        if (kind == TG_MSG_CHECKPOINT) {
            if (self->OnCheckpoint)
                self->OnCheckpoint(text, 2);
            return;
        }
        self->FLastMessages += text;
        if (self->OnMessage)
            self->OnMessage(text, kind == TG_MSG_ERROR);
    } catch (...) {
        self->m_pending = std::current_exception();
    }
}

bool TTGPuttySFTP::cbProgress(int64_t bytes, bool isupload, TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    if (!self->OnProgress)
        return true;
    try {
        return self->OnProgress(bytes, isupload);
    } catch (...) {
        self->m_pending = std::current_exception();
        return false;
    }
}

int32_t TTGPuttySFTP::cbRead(uint64_t offset, void* buffer, int32_t size, TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    QIODevice* s = self->FUploadStream;
    if (!s)
        return 0;
    try {
        if (!s->seek(static_cast<qint64>(offset)))
            return 0;
        const qint64 got = s->read(static_cast<char*>(buffer), size);
        return got < 0 ? 0 : static_cast<int32_t>(got);
    } catch (...) {
        self->m_pending = std::current_exception();
        return 0;
    }
}

int32_t TTGPuttySFTP::cbWrite(uint64_t offset, const void* buffer, int32_t size,
                              TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    QIODevice* s = self->FDownloadStream;
    if (!s)
        return 0;
    try {
        if (s->pos() != static_cast<qint64>(offset) && !s->seek(static_cast<qint64>(offset)))
            return 0;
        const qint64 wrote = s->write(static_cast<const char*>(buffer), size);
        if (self->OnProgress)
            self->OnProgress(static_cast<qint64>(offset) + size, false);
        return wrote < 0 ? 0 : static_cast<int32_t>(wrote);
    } catch (...) {
        self->m_pending = std::current_exception();
        return 0;
    }
}

bool TTGPuttySFTP::cbInput(char* line, int32_t maxlen, TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    bool cancel = false;
    QByteArray answer;
    try {
        if (self->OnGetInput) {
            answer = self->OnGetInput(cancel);
        } else {
            std::fputs("Your Input: ", stdout);
            std::fflush(stdout);
            char buffer[1024];
            if (!std::fgets(buffer, sizeof buffer, stdin))
                throw ProgramError(QStringLiteral("No input method available"));
            answer = QByteArray(buffer);
            while (answer.endsWith('\n') || answer.endsWith('\r'))
                answer.chop(1);
        }
    } catch (...) {
        self->m_pending = std::current_exception();
        return false;
    }
    if (cancel)
        return false;
    // maxlen counts the characters; the library's buffer holds one more for the zero byte.
    const qsizetype n = std::min<qsizetype>(answer.size(), std::max<int32_t>(maxlen, 0));
    std::memcpy(line, answer.constData(), static_cast<size_t>(n));
    line[n] = '\0';
    return true;
}

bool TTGPuttySFTP::cbHostKey(const char* host, int32_t port, int32_t, int32_t,
                             const char* fingerprint, int32_t status, bool* store,
                             TTGLibraryContext* ctx) {
    TTGPuttySFTP* self = of(ctx);
    if (!self->OnVerifyHostKey)
        return false;
    try {
        bool s = *store;
        const bool accepted =
            self->OnVerifyHostKey(QByteArray(host ? host : ""), port,
                                  QByteArray(fingerprint ? fingerprint : ""), status, s);
        *store = s;
        return accepted;
    } catch (...) {
        self->m_pending = std::current_exception();
        return false;
    }
}

void TTGPuttySFTP::cbFatal(const char* msg, const char* file, int32_t line,
                           TTGLibraryContext* ctx) {
    // The library has already ended the running operation; the session raises once it returns.
    TTGPuttySFTP* self = of(ctx);
    self->m_pending = std::make_exception_ptr(TGPuttySFTPException(
        QStringLiteral("TTGPuttySFTP exception ") + QString::fromUtf8(msg ? msg : "") +
        QStringLiteral(" at line %1 in ").arg(line) + QString::fromUtf8(file ? file : "")));
}

void TTGPuttySFTP::message(const QByteArray& text, int kind) {
    cbMessage(text.constData(), static_cast<uint8_t>(kind), &Fcontext);
}

void TTGPuttySFTP::checkpoint(const char* label) {
    if (OnCheckpoint)
        OnCheckpoint(QByteArray(label), 2);
}
