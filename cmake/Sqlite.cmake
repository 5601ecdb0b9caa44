# The library's own SQLite. By default the pinned amalgamation (scripts/fetch-sqlite.sh) is
# built here as a static library whose symbols stay hidden inside DataBase. The WAL-reset race
# (3.7.0 to 3.51.2) can corrupt exactly our pattern of many writers and a checkpoint at every
# last close, so a system SQLite is accepted only with the fix (3.51.3+, 3.50.7+, 3.44.6+).
if(DATABASE_SYSTEM_SQLITE)
    find_package(SQLite3 REQUIRED)
    set(_v ${SQLite3_VERSION})
    set(_fixed FALSE)
    if(_v VERSION_GREATER_EQUAL 3.51.3)
        set(_fixed TRUE)
    elseif(_v VERSION_GREATER_EQUAL 3.50.7 AND _v VERSION_LESS 3.51.0)
        set(_fixed TRUE)
    elseif(_v VERSION_GREATER_EQUAL 3.44.6 AND _v VERSION_LESS 3.45.0)
        set(_fixed TRUE)
    endif()
    if(NOT _fixed)
        message(FATAL_ERROR "System SQLite ${_v} lacks the WAL-reset fix (needs 3.51.3+, 3.50.7+ or 3.44.6+); "
                            "build without DATABASE_SYSTEM_SQLITE to use the pinned amalgamation.")
    endif()
    add_library(database_sqlite INTERFACE)
    target_link_libraries(database_sqlite INTERFACE SQLite::SQLite3)
else()
    set(DATABASE_SQLITE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/third_party/sqlite)
    if(NOT EXISTS ${DATABASE_SQLITE_DIR}/sqlite3.c)
        execute_process(COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/fetch-sqlite.sh
                        RESULT_VARIABLE _fetch)
        if(NOT _fetch EQUAL 0 OR NOT EXISTS ${DATABASE_SQLITE_DIR}/sqlite3.c)
            message(FATAL_ERROR "The SQLite amalgamation is missing: run scripts/fetch-sqlite.sh")
        endif()
    endif()
    add_library(database_sqlite STATIC ${DATABASE_SQLITE_DIR}/sqlite3.c)
    target_include_directories(database_sqlite SYSTEM PUBLIC ${DATABASE_SQLITE_DIR})
    # The durability settings (synchronous, the log's size limit) are set by the library at every
    # open, so that a build against the system's SQLite runs the same.
    target_compile_definitions(database_sqlite PUBLIC SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
                               SQLITE_DEFAULT_FOREIGN_KEYS=0)
    # The amalgamation is not ours to warn about.
    target_compile_options(database_sqlite PRIVATE $<IF:$<C_COMPILER_ID:MSVC>,/w,-w>)
    # Nor ours to race-check: connections share SQLite's WAL index through file locks and memory
    # barriers that ThreadSanitizer cannot see, so it reports races inside SQLite that are none.
    # Our own code stays instrumented, and SQLite's mutexes are still seen through pthreads.
    if(DATABASE_SANITIZE MATCHES "thread")
        target_compile_options(database_sqlite PRIVATE -fno-sanitize=thread)
    endif()
    # Optimised in Debug builds too (sanitizer runs spend their time in SQLite); MSVC refuses /O1
    # beside the /RTC1 of its Debug flags, so there it stays as the build type says.
    if(NOT MSVC)
        target_compile_options(database_sqlite PRIVATE $<$<CONFIG:Debug>:-O1>)
    endif()
    find_package(Threads REQUIRED)
    target_link_libraries(database_sqlite PUBLIC Threads::Threads)
    if(NOT WIN32)
        target_link_libraries(database_sqlite PUBLIC ${CMAKE_DL_LIBS} m)
    endif()
endif()
