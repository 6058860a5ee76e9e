#pragma once

#include "tgputtylib/tgputtylib.h"

#include <QHash>
#include <QString>

// The functions of one loaded libtgputtylib.so and the index of its configuration names.
struct TGPuttyLibrary {
#define TG_FN(name) decltype(&::name) name = nullptr
    TG_FN(tggetlibrarycontextsize);
    TG_FN(tggetstructsizes);
    TG_FN(tgputtygetversions);
    TG_FN(tgputty_initcontext);
    TG_FN(tgputty_getconfigarrays);
    TG_FN(tgputty_setverbose);
    TG_FN(tgputtyfree);
    TG_FN(tgputty_setkeyfile);
    TG_FN(tgsftp_connect);
    TG_FN(tgsftp_close);
    TG_FN(tgsftp_cd);
    TG_FN(tgsftp_ls);
    TG_FN(tgsftp_rm);
    TG_FN(tgsftp_rmdir);
    TG_FN(tgsftp_mkdir);
    TG_FN(tgsftp_mv);
    TG_FN(tgsftp_mvex);
    TG_FN(tgsftp_putfile);
    TG_FN(tgsftp_getfile);
    TG_FN(tgsftp_getstat);
    TG_FN(tgsftp_setstat);
    TG_FN(tgputty_openfile);
    TG_FN(tgputty_closefile);
    TG_FN(tgputty_xfer_upload_init);
    TG_FN(tgputty_xfer_upload_ready);
    TG_FN(tgputty_xfer_upload_data);
    TG_FN(tgputty_xfer_download_init);
    TG_FN(tgputty_xfer_download_preparequeue);
    TG_FN(tgputty_xfer_download_data);
    TG_FN(tgputty_xfer_set_error);
    TG_FN(tgputty_xfer_ensuredone);
    TG_FN(tgputty_xfer_done);
    TG_FN(tgputty_xfer_cleanup);
    TG_FN(tgputty_sfree);
    TG_FN(tgputty_conf_get_int);
    TG_FN(tgputty_conf_get_str);
    TG_FN(tgputty_conf_set_bool);
    TG_FN(tgputty_conf_set_int);
    TG_FN(tgputty_conf_set_str);
#undef TG_FN

    QString path;
    // Configuration name in lower case -> position; built once, under the process-wide lock.
    QHash<QString, int> confIndex;
    bool confIndexBuilt = false;

    // The library in folder, loaded at the first request and kept until the program ends;
    // null when it cannot be loaded or lacks a function (reason in *why).
    static const TGPuttyLibrary* load(const QString& folder, QString* why);
    // Builds the configuration-name index once, under the process-wide lock.
    static void buildConfIndex(const TGPuttyLibrary& lib, char** names, int count);
};
