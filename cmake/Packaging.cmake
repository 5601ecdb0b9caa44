# The packages of the library, built with CPack from a build folder (scripts/package.sh):
# - Linux: a .deb of the library, its headers, the CMake package and transferdb, for /usr;
# - Windows: a .zip of the four DLLs, their import libraries, the headers, the CMake package and
#   transferdb.exe, under one folder.
# The version is the project's own (project(VERSION) in the top CMakeLists.txt).
set(CPACK_PACKAGE_NAME DataBase)
set(CPACK_PACKAGE_VENDOR "DataBase developers")
set(CPACK_PACKAGE_CONTACT "DataBase developers <database@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "persistence library of a PC-to-PC migration application, with transferdb")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Records each migration of a user's files, applications, settings and\n"
    "bookmarks from an old PC to a new one, and the outcome of each item, in\n"
    "SQLite databases (with its own SQLite built in), and resumes an interrupted\n"
    "migration. transferdb migrates a folder with the library and reads its\n"
    "database: history, failures, integrity check and an HTML report.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME DataBase-${PROJECT_VERSION}-windows-x64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_PACKAGE_NAME database)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # The libraries go to /usr/lib: the system's library cache is brought up to date by trigger.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/packaging/triggers)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # What Debian asks of every package: its changelog and copyright under /usr/share/doc.
    set(_doc ${CMAKE_CURRENT_BINARY_DIR}/packaging)
    string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging/changelog.in ${_doc}/changelog @ONLY)
    file(ARCHIVE_CREATE OUTPUT ${_doc}/changelog.gz PATHS ${_doc}/changelog FORMAT raw
         COMPRESSION GZip COMPRESSION_LEVEL 9)
    install(FILES ${_doc}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/packaging/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/database)
endif()
include(CPack)
