// The streamed download of the SFTP session: the library's transfer primitives with our own
// flow control, progress throttling and idle time-out.

#include "transfer/sftp/TGPuttyLibrary.h"
#include "transfer/sftp/TTGPuttySFTP.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QLocale>

void TTGPuttySFTP::DownloadStreamP(const QByteArray& ARemoteFilename, QIODevice* AStream,
                                   bool anAppend) {
    if (tgputtylibbuild < 12) {
        DownloadStream(ARemoteFilename, AStream, anAppend);
        return;
    }
    checkpoint("psftp_getf");
    QByteArray errorText;
    std::exception_ptr writeFailure;
    Fcontext.fxp_errtype = NoErrorCode;
    m_pending = nullptr;

    tg_filehandle* fh =
        m_lib->tgputty_openfile(ARemoteFilename.constData(), TG_OPEN_READ, nullptr, &Fcontext);
    rethrowPending();
    if (!fh)
        throw TGPuttySFTPException(MakePSFTPErrorMsg(QStringLiteral("DownloadStreamP")));
    checkpoint("psgetf30");

    qint64 writeOffset = anAppend ? AStream->size() : AStream->pos();
    if (anAppend)
        AStream->seek(writeOffset);
    if (Fcontext.timeoutticks < 1000)
        Fcontext.timeoutticks = 60000;

    bool ok = true;
    bool cancelled = false;
    QElapsedTimer clock;
    clock.start();
    const qint64 start = 0;
    qint64 bytes = 0;
    qint64 lastProgressTime = start;
    qint64 lastProgressBytes = 0;
    qint64 idleSince = -1; // none

    checkpoint("psgetf60");
    tg_xfer* xfer =
        m_lib->tgputty_xfer_download_init(fh, static_cast<quint64>(writeOffset), &Fcontext);
    checkpoint("psgetf61");

    while (ok && !cancelled && !Fcontext.aborted && !m_lib->tgputty_xfer_done(xfer, &Fcontext)) {
        checkpoint("psgetf62");
        const qint64 cycleStart = bytes;
        checkpoint("psgetf63");
        ok = m_lib->tgputty_xfer_download_preparequeue(xfer, &Fcontext);
        checkpoint("psgetf70");
        void* block = nullptr;
        int32_t length = 0;
        while (ok && m_lib->tgputty_xfer_download_data(xfer, &block, &length, &Fcontext)) {
            checkpoint("psgetf71");
            qint64 written = 0;
            while (written < length) {
                checkpoint("psgetf74");
                qint64 n = 0;
                try {
                    if (AStream->pos() != writeOffset)
                        AStream->seek(writeOffset);
                    n = AStream->write(static_cast<const char*>(block) + written, length - written);
                } catch (...) {
                    writeFailure = std::current_exception();
                    n = 0;
                }
                checkpoint("psgetf75");
                if (n <= 0) {
                    checkpoint("psgetf76");
                    if (errorText.isEmpty())
                        errorText = "error while writing local stream";
                    ok = false;
                    m_lib->tgputty_xfer_set_error(xfer, &Fcontext);
                    break;
                }
                written += n;
                writeOffset += n;
            }
            if (written < length) {
                if (errorText.isEmpty())
                    errorText = "error while writing local stream (B)";
                checkpoint("psgetf77");
                m_lib->tgputty_xfer_set_error(xfer, &Fcontext);
                ok = false;
                m_lib->tgputty_sfree(block, &Fcontext);
                break;
            }
            bytes += length;
            checkpoint("psgetf80");
            if (OnProgress) {
                const qint64 now = clock.elapsed();
                if (FProgressAfterBytes < 0 || bytes - lastProgressBytes > FProgressAfterBytes ||
                    FProgressIntervalMS < 0 || now - lastProgressTime >= FProgressIntervalMS) {
                    checkpoint("psgetf81");
                    if (!OnProgress(bytes, false)) {
                        checkpoint("psgetf82");
                        cancelled = true;
                        ok = false;
                        message(QByteArrayLiteral("Canceling ...\r\n"), TG_MSG_NORMAL);
                    }
                    lastProgressTime = clock.elapsed();
                    lastProgressBytes = bytes;
                }
            }
            checkpoint("psgetf83");
            m_lib->tgputty_sfree(block, &Fcontext);
        }
        if (!ok)
            break;
        checkpoint("psgetf90");
        if (bytes > cycleStart) {
            idleSince = -1;
        } else if (idleSince < 0) {
            idleSince = clock.elapsed();
        } else if (clock.elapsed() - idleSince > Fcontext.timeoutticks) {
            checkpoint("psgetf95");
            message(QByteArrayLiteral("Timeout error, no more data received.\r\n"), TG_MSG_NORMAL);
            ok = false;
            m_lib->tgputty_xfer_set_error(xfer, &Fcontext);
            break;
        }
    }

    checkpoint("psgetf96");
    qint64 end = clock.elapsed();
    if (end == start)
        end = start + 1;
    checkpoint("psgetf97");
    if (OnMessage) {
        const double rate = double(bytes) / 1024.0 / double(end - start);
        QLocale locale; // its decimal separator, but no thousands separators
        locale.setNumberOptions(QLocale::OmitGroupSeparator);
        OnMessage(QStringLiteral("Downloaded %1 Bytes in %2 milliseconds, rate = %3 MB/sec.\r\n")
                      .arg(bytes)
                      .arg(end - start)
                      .arg(locale.toString(rate, 'g', 15))
                      .toUtf8(),
                  false);
    }
    checkpoint("psgetf98");
    m_lib->tgputty_xfer_cleanup(xfer, &Fcontext);
    checkpoint("psgetf100");
    m_lib->tgputty_closefile(&fh, &Fcontext);
    rethrowPending();

    if (!ok) {
        if (writeFailure)
            std::rethrow_exception(writeFailure);
        if (!errorText.isEmpty())
            throw TGPuttySFTPException(QString::fromUtf8(errorText));
        throw TGPuttySFTPException(MakePSFTPErrorMsg(QStringLiteral("DownloadStreamP")));
    }
    checkpoint("psgetf103");
}
