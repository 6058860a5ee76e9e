# The Debian package (and a tar archive of the same files): the program folder
# /opt/orvelsqlbackup with the window, the command line program and the SFTP library, the
# command line's link, manual page and completion, the systemd units, the service
# account, and the desktop entry of the settings editor. The data the program writes into its
# folder (settings, INI, known_hosts, log/, backup files and archives) is never part of it, so an
# upgrade or a removal leaves it alone. scripts/package.sh builds both.

set(ORVEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS OrvelSQLBackup orvelsqlbackup-cli RUNTIME DESTINATION opt/orvelsqlbackup)
# The command line program on the PATH: a link to the program folder's copy, which finds its
# folder through the link.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
file(CREATE_LINK /opt/orvelsqlbackup/orvelsqlbackup-cli
     ${PROJECT_BINARY_DIR}/packaging/orvelsqlbackup-cli SYMBOLIC)
install(FILES ${PROJECT_BINARY_DIR}/packaging/orvelsqlbackup-cli DESTINATION usr/bin)
# Its manual page, compressed as Debian keeps them (made with the program), and its bash
# completion.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/orvelsqlbackup-cli.1.gz
    COMMAND gzip -9nc ${ORVEL_PACKAGING_DIR}/orvelsqlbackup-cli.1
            > ${PROJECT_BINARY_DIR}/packaging/orvelsqlbackup-cli.1.gz
    DEPENDS ${ORVEL_PACKAGING_DIR}/orvelsqlbackup-cli.1 VERBATIM)
add_custom_target(orvelsqlbackup-cli-manpage
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/orvelsqlbackup-cli.1.gz)
add_dependencies(orvelsqlbackup-cli orvelsqlbackup-cli-manpage)
install(FILES ${PROJECT_BINARY_DIR}/packaging/orvelsqlbackup-cli.1.gz DESTINATION usr/share/man/man1)
install(FILES ${ORVEL_PACKAGING_DIR}/orvelsqlbackup-cli.bash-completion
    DESTINATION usr/share/bash-completion/completions RENAME orvelsqlbackup-cli)
install(TARGETS tgputtylib LIBRARY DESTINATION opt/orvelsqlbackup)
install(FILES ${ORVEL_PACKAGING_DIR}/orvelsqlbackup.service ${ORVEL_PACKAGING_DIR}/orvelsqlbackup.timer
    DESTINATION lib/systemd/system)
install(FILES ${ORVEL_PACKAGING_DIR}/orvelsqlbackup.sysusers
    DESTINATION usr/lib/sysusers.d RENAME orvelsqlbackup.conf)
install(FILES ${ORVEL_PACKAGING_DIR}/orvelsqlbackup.desktop DESTINATION usr/share/applications)
install(FILES ${ORVEL_PACKAGING_DIR}/orvelsqlbackup.svg
    DESTINATION usr/share/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION usr/share/doc/orvelsqlbackup)

# Packing builds only what it installs, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_PACKAGE_NAME orvelsqlbackup)
set(CPACK_PACKAGE_VENDOR "Orvel Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Backs up Microsoft SQL Server databases and ships the archives off the machine")
set(CPACK_PACKAGE_DESCRIPTION "OrvelSQLBackup takes a full and log backups of every listed SQL Server
database, checks and shrinks it, packs the backup files into weekday-named ZIP archives, copies
them and uploads them by FTP, FTPS or SFTP, logs every step in German and mails a report.
The nightly run is a systemd timer (installed, not enabled).")
set(CPACK_PACKAGE_CONTACT "Orvel Software <support@orvel-software.de>")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build" "/\\\\.git")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service account comes from systemd-sysusers, or from adduser where systemd is missing.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ORVEL_PACKAGING_DIR}/postinst ${ORVEL_PACKAGING_DIR}/prerm ${ORVEL_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
