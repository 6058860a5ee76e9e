// Linked into a test variant of the SFTP library with the linker's --wrap for libssh2's
// mkdir: a folder named "fatal" fails inside the library as an exhausted memory would, so that
// the test sees how such a failure reaches the caller. Every other folder is made as usual.

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstring>
#include <stdexcept>

extern "C" {

int __real_libssh2_sftp_mkdir_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int length,
                                 long mode);

int __wrap_libssh2_sftp_mkdir_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int length,
                                 long mode) {
    constexpr const char* name = "/fatal";
    const size_t n = std::strlen(name);
    if (length >= n && std::memcmp(path + length - n, name, n) == 0)
        throw std::runtime_error("injected fault");
    return __real_libssh2_sftp_mkdir_ex(sftp, path, length, mode);
}

} // extern "C"
