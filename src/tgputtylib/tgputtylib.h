#pragma once

// The C interface of the SFTP library libtgputtylib.so: the context record through which the
// library calls back into its caller, the records it shares, and the exported functions. The
// session class and the library are built from this one header, so both sides agree on every
// size; the library still reports its sizes at run time so that a library from another build is
// recognised.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TGPUTTYLIB_BUILDING)
#define TGPUTTYLIB_API __attribute__((visibility("default")))
#else
#define TGPUTTYLIB_API
#endif

// The library's build number and the number of configuration entries it offers.
#define TGPUTTYLIB_BUILD 12
#define TGPUTTYLIB_CONF_COUNT 85

// Message kinds of the message callback.
#define TG_MSG_NORMAL 0
#define TG_MSG_ERROR 1
#define TG_MSG_CHECKPOINT 2

// Host key verification status handed to the host key callback.
#define TG_HOSTKEY_KNOWN 0     // the key is in known_hosts and matches
#define TG_HOSTKEY_NEW 1       // no key is stored for this host and port
#define TG_HOSTKEY_CHANGED 2   // a different key is stored for this host and port
#define TG_HOSTKEY_UNCHECKED 3 // known_hosts could not be read or compared

// Open flags of tgputty_openfile (SFTP version 3 values).
#define TG_OPEN_READ 1
#define TG_OPEN_WRITE 2
#define TG_OPEN_APPEND 4
#define TG_OPEN_CREATE 8
#define TG_OPEN_TRUNCATE 16

// Attribute flags of fxp_attrs (SFTP version 3).
#define TG_ATTR_SIZE 1
#define TG_ATTR_UIDGID 2
#define TG_ATTR_PERMISSIONS 4
#define TG_ATTR_ACMODTIME 8

// The 32-bit unsigned type of the shared records.
typedef uint32_t tg_ulong;

struct fxp_attrs {
    tg_ulong flags;
    uint64_t size;
    tg_ulong uid;
    tg_ulong gid;
    tg_ulong permissions;
    tg_ulong atime;
    tg_ulong mtime;
};

struct fxp_name {
    char* filename;
    char* longname;
    struct fxp_attrs attrs;
};

struct fxp_names {
    int32_t nnames;
    struct fxp_name* names;
};

struct TTGLibraryContext;

typedef bool (*tg_ls_callback)(const struct fxp_names* names, struct TTGLibraryContext* ctx);
typedef const char* (*tg_getpassword_callback)(const char* prompt, bool echo, bool* cancel,
                                               struct TTGLibraryContext* ctx);
typedef void (*tg_printmessage_callback)(const char* msg, uint8_t kind,
                                         struct TTGLibraryContext* ctx);
typedef bool (*tg_progress_callback)(int64_t bytescopied, bool isupload,
                                     struct TTGLibraryContext* ctx);
typedef int32_t (*tg_read_from_stream)(uint64_t offset, void* buffer, int32_t bufsize,
                                       struct TTGLibraryContext* ctx);
typedef int32_t (*tg_write_to_stream)(uint64_t offset, const void* buffer, int32_t bufsize,
                                      struct TTGLibraryContext* ctx);
typedef bool (*tg_get_input_callback)(char* linebuf, int32_t maxlen, struct TTGLibraryContext* ctx);
typedef bool (*tg_verify_host_key_callback)(const char* host, int32_t port, int32_t unused1,
                                            int32_t unused2, const char* fingerprint,
                                            int32_t verificationstatus, bool* storehostkey,
                                            struct TTGLibraryContext* ctx);
// Reports a fatal library error. The library has already ended the running operation; the
// caller of the library function learns of the failure from its result.
typedef void (*tg_raise_exception_callback)(const char* msg, const char* srcfile, int32_t line,
                                            struct TTGLibraryContext* ctx);
typedef void (*tg_critical_section_callback)(struct TTGLibraryContext* ctx);

// 400 bytes; the field order is fixed, pointers have this platform's size.
struct TTGLibraryContext {
    int32_t structsize;
    int32_t alignment;
    uint64_t Tag;
    tg_ls_callback ls_callback;
    tg_getpassword_callback getpassword_callback;
    tg_printmessage_callback printmessage_callback;
    tg_progress_callback progress_callback;
    tg_read_from_stream read_from_stream;
    tg_write_to_stream write_to_stream;
    tg_get_input_callback get_input_callback;
    tg_verify_host_key_callback verify_host_key_callback;
    tg_raise_exception_callback raise_exception_callback;
    tg_critical_section_callback entercriticalsection_callback;
    tg_critical_section_callback leavecriticalsection_callback;
    int32_t mode;
    int32_t modeflags;
    char* batchfile;
    char* pwd;
    char* homedir;
    char* fxp_error_message;
    int32_t fxp_errtype;
    int32_t timeoutticks;
    int32_t connectiontimeoutticks;
    bool aborted;
    uint8_t reserved[400 - 157];
};

#ifdef __cplusplus
static_assert(sizeof(TTGLibraryContext) == 400, "the context record has 400 bytes");
static_assert(offsetof(TTGLibraryContext, aborted) == 156, "aborted follows the time-outs");
#endif

// Opaque handles.
typedef struct tg_filehandle tg_filehandle;
typedef struct tg_xfer tg_xfer;

TGPUTTYLIB_API int32_t tggetlibrarycontextsize(void);
TGPUTTYLIB_API void tggetstructsizes(int32_t* ulongsize, int32_t* namesize, int32_t* attrsize,
                                     int32_t* namessize);
TGPUTTYLIB_API void tgputtygetversions(double* puttyrelease, int32_t* tgputtylibbuild);
TGPUTTYLIB_API int32_t tgputty_initcontext(bool verbose, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgputty_getconfigarrays(int32_t** types, int32_t** subtypes, char*** names,
                                            int32_t* count);
TGPUTTYLIB_API void tgputty_setverbose(int32_t level);
TGPUTTYLIB_API void tgputtyfree(struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_setkeyfile(const char* filename, struct TTGLibraryContext* ctx);

TGPUTTYLIB_API int32_t tgsftp_connect(const char* host, const char* user, int32_t port,
                                      const char* password, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgsftp_close(struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_cd(const char* dir, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_ls(const char* dir, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_rm(const char* name, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_rmdir(const char* dir, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_mkdir(const char* dir, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_mv(const char* from, const char* to, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_mvex(const char* from, const char* to, int32_t flags,
                                   struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_putfile(const char* localname, const char* remotename, bool append,
                                      struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgsftp_getfile(const char* remotename, const char* localname, bool append,
                                      struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgsftp_getstat(const char* name, struct fxp_attrs* attrs,
                                   struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgsftp_setstat(const char* name, const struct fxp_attrs* attrs,
                                   struct TTGLibraryContext* ctx);

TGPUTTYLIB_API tg_filehandle* tgputty_openfile(const char* name, int32_t openflags,
                                               const struct fxp_attrs* attrs,
                                               struct TTGLibraryContext* ctx);
TGPUTTYLIB_API int32_t tgputty_closefile(tg_filehandle** fh, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API tg_xfer* tgputty_xfer_upload_init(tg_filehandle* fh, uint64_t offset,
                                                 struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgputty_xfer_upload_ready(tg_xfer* xfer, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_xfer_upload_data(tg_xfer* xfer, char* buffer, int32_t len,
                                             uint64_t offset, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API tg_xfer* tgputty_xfer_download_init(tg_filehandle* fh, uint64_t offset,
                                                   struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgputty_xfer_download_preparequeue(tg_xfer* xfer,
                                                       struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgputty_xfer_download_data(tg_xfer* xfer, void** buf, int32_t* len,
                                               struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_xfer_set_error(tg_xfer* xfer, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgputty_xfer_ensuredone(tg_xfer* xfer, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API bool tgputty_xfer_done(tg_xfer* xfer, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_xfer_cleanup(tg_xfer* xfer, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_sfree(void* p, struct TTGLibraryContext* ctx);

TGPUTTYLIB_API int32_t tgputty_conf_get_int(int32_t index, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API const char* tgputty_conf_get_str(int32_t index, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_conf_set_bool(int32_t index, bool value, struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_conf_set_int(int32_t index, int32_t value,
                                         struct TTGLibraryContext* ctx);
TGPUTTYLIB_API void tgputty_conf_set_str(int32_t index, const char* value,
                                         struct TTGLibraryContext* ctx);

#ifdef __cplusplus
}
#endif
