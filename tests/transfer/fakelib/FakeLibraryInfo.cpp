// The functions that describe the SFTP library, as a library of another build would answer
// them: each test variant of the library is built with one of these deviations, which the
// session must notice when it is created.
//   FAKE_BUILD=n            reports build n
//   FAKE_NAMESIZE_EXTRA=n   reports a name structure n bytes larger
//   FAKE_CONTEXT_EXTRA=n    reports a context n bytes larger
//   FAKE_CONF_EXTRA=n       offers n configuration entries more than the session knows

#include "tgputtylib/ConfigTable.h"
#include "tgputtylib/tgputtylib.h"

#include <libssh2.h>

#include <string>
#include <vector>

#ifndef FAKE_BUILD
#define FAKE_BUILD TGPUTTYLIB_BUILD
#endif
#ifndef FAKE_NAMESIZE_EXTRA
#define FAKE_NAMESIZE_EXTRA 0
#endif
#ifndef FAKE_CONTEXT_EXTRA
#define FAKE_CONTEXT_EXTRA 0
#endif
#ifndef FAKE_CONF_EXTRA
#define FAKE_CONF_EXTRA 0
#endif

namespace {

struct Arrays {
    std::vector<int32_t> types, subtypes;
    std::vector<char*> names;
    Arrays() {
        const int32_t count = tgputty::ConfigTable::count();
        for (int32_t i = 0; i < count; ++i) {
            types.push_back(tgputty::ConfigTable::types()[i]);
            subtypes.push_back(0);
            names.push_back(tgputty::ConfigTable::names()[i]);
        }
        static char extra[] = "extra_entry";
        for (int i = 0; i < FAKE_CONF_EXTRA; ++i) {
            types.push_back(0);
            subtypes.push_back(0);
            names.push_back(extra);
        }
    }
};

} // namespace

extern "C" {

int32_t tggetlibrarycontextsize(void) {
    return static_cast<int32_t>(sizeof(TTGLibraryContext)) + FAKE_CONTEXT_EXTRA;
}

void tggetstructsizes(int32_t* ulongsize, int32_t* namesize, int32_t* attrsize,
                      int32_t* namessize) {
    *ulongsize = sizeof(tg_ulong);
    *namesize = sizeof(fxp_name) + FAKE_NAMESIZE_EXTRA;
    *attrsize = sizeof(fxp_attrs);
    *namessize = sizeof(fxp_names);
}

void tgputtygetversions(double* puttyrelease, int32_t* tgputtylibbuild) {
    *puttyrelease = (LIBSSH2_VERSION_NUM >> 16) + ((LIBSSH2_VERSION_NUM >> 8) & 0xFF) / 100.0;
    *tgputtylibbuild = FAKE_BUILD;
}

bool tgputty_getconfigarrays(int32_t** types, int32_t** subtypes, char*** names, int32_t* count) {
    static Arrays arrays;
    *types = arrays.types.data();
    *subtypes = arrays.subtypes.data();
    *names = arrays.names.data();
    *count = static_cast<int32_t>(arrays.names.size());
    return true;
}

} // extern "C"
