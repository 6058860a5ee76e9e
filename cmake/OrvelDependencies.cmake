# The libraries the program builds on, as imported targets carrying their include folders and
# the definitions their headers expect.

find_package(PkgConfig REQUIRED)
find_package(ZLIB REQUIRED)

# SQLCipher: SQLite with encryption; its header sits in its own folder (<sqlcipher/sqlite3.h>).
pkg_check_modules(SQLCIPHER_PC REQUIRED sqlcipher)
find_library(SQLCIPHER_LIBRARY NAMES sqlcipher HINTS ${SQLCIPHER_PC_LIBRARY_DIRS} REQUIRED)
find_path(SQLCIPHER_INCLUDE_DIR NAMES sqlcipher/sqlite3.h REQUIRED)
if(NOT TARGET SQLCipher::SQLCipher)
    add_library(SQLCipher::SQLCipher UNKNOWN IMPORTED)
    set_target_properties(SQLCipher::SQLCipher PROPERTIES
        IMPORTED_LOCATION ${SQLCIPHER_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${SQLCIPHER_INCLUDE_DIR}
        INTERFACE_COMPILE_DEFINITIONS SQLITE_HAS_CODEC)
endif()

# FreeTDS db-lib, the TDS client for SQL Server.
find_library(SYBDB_LIBRARY NAMES sybdb REQUIRED)
find_path(SYBDB_INCLUDE_DIR NAMES sybdb.h REQUIRED)
if(NOT TARGET FreeTDS::sybdb)
    add_library(FreeTDS::sybdb UNKNOWN IMPORTED)
    set_target_properties(FreeTDS::sybdb PROPERTIES
        IMPORTED_LOCATION ${SYBDB_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${SYBDB_INCLUDE_DIR})
endif()

# libcurl: FTP and FTPS uploads.
find_package(CURL REQUIRED)

# OpenSSL: TLS for the report mail.
find_package(OpenSSL 3 REQUIRED)

# libdeflate: whole-buffer Deflate, the block compressor of the archive packing. The static
# archive is preferred: the same level compresses about a quarter faster from it than from the
# shared library (measured on Debian 12's 1.14).
find_path(LIBDEFLATE_INCLUDE_DIR NAMES libdeflate.h REQUIRED)
find_library(LIBDEFLATE_LIBRARY NAMES libdeflate.a deflate REQUIRED)
if(NOT TARGET libdeflate::libdeflate)
    add_library(libdeflate::libdeflate UNKNOWN IMPORTED)
    set_target_properties(libdeflate::libdeflate PROPERTIES
        IMPORTED_LOCATION ${LIBDEFLATE_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${LIBDEFLATE_INCLUDE_DIR})
endif()
# std::thread, for the packing's workers.
find_package(Threads REQUIRED)

# libssh2: the SSH and SFTP protocol under our SFTP library.
pkg_check_modules(LIBSSH2_PC REQUIRED libssh2)
find_library(LIBSSH2_LIBRARY NAMES ssh2 HINTS ${LIBSSH2_PC_LIBRARY_DIRS} REQUIRED)
find_path(LIBSSH2_INCLUDE_DIR NAMES libssh2.h HINTS ${LIBSSH2_PC_INCLUDE_DIRS} REQUIRED)
if(NOT TARGET Libssh2::libssh2)
    add_library(Libssh2::libssh2 UNKNOWN IMPORTED)
    set_target_properties(Libssh2::libssh2 PROPERTIES
        IMPORTED_LOCATION ${LIBSSH2_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${LIBSSH2_INCLUDE_DIR})
endif()
# The static libssh2, if there is one, goes into our SFTP library so that its counter-mode
# ciphers can be redirected there (see src/tgputtylib/CMakeLists.txt).
find_library(LIBSSH2_STATIC_LIBRARY NAMES libssh2.a HINTS ${LIBSSH2_PC_LIBRARY_DIRS})
