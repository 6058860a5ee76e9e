// The exported functions that describe the library to its caller: the sizes of the structures
// it shares, its build and the names of its configuration entries. The caller checks them
// before it creates a session.

#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/tgputtylib.h"

#include <libssh2.h>

extern "C" {

int32_t tggetlibrarycontextsize(void) {
    return static_cast<int32_t>(sizeof(TTGLibraryContext));
}

void tggetstructsizes(int32_t* ulongsize, int32_t* namesize, int32_t* attrsize,
                      int32_t* namessize) {
    *ulongsize = sizeof(tg_ulong);
    *namesize = sizeof(fxp_name);
    *attrsize = sizeof(fxp_attrs);
    *namessize = sizeof(fxp_names);
}

void tgputtygetversions(double* puttyrelease, int32_t* tgputtylibbuild) {
    // The release is that of the SSH implementation underneath: libssh2 major.minor.
    *puttyrelease = (LIBSSH2_VERSION_NUM >> 16) + ((LIBSSH2_VERSION_NUM >> 8) & 0xFF) / 100.0;
    *tgputtylibbuild = TGPUTTYLIB_BUILD;
}

bool tgputty_getconfigarrays(int32_t** types, int32_t** subtypes, char*** names, int32_t* count) {
    *types = tgputty::ConfigTable::types();
    *subtypes = tgputty::ConfigTable::subtypes();
    *names = tgputty::ConfigTable::names();
    *count = tgputty::ConfigTable::count();
    return true;
}

} // extern "C"
