# Suites built from the library's own sources, so that the process has one SQLite and a VFS
# registered there is the one every connection of the library goes through (see IoFaultTest.cpp).
function(database_build_from_library_sources target)
    if(NOT TARGET ${target})  # a *Posix* suite in the Windows build
        return()
    endif()
    set(_library ${CMAKE_CURRENT_LIST_DIR}/../../DataBase)
    file(GLOB _library_sources CONFIGURE_DEPENDS ${_library}/src/*.cpp)
    target_sources(${target} PRIVATE ${_library_sources}
                   ${CMAKE_CURRENT_LIST_DIR}/../support/TestSupport.cpp)
    target_include_directories(${target} PRIVATE ${_library}/include ${_library}/src
                               ${CMAKE_CURRENT_LIST_DIR}/../support)
    target_compile_definitions(${target} PRIVATE DATABASE_BUILDING)  # its own classes, not a DLL's
    find_package(Threads REQUIRED)
    set_property(TARGET ${target} PROPERTY LINK_LIBRARIES LogHelper VtFileUtil Model
                 PlatformHeaders Platform database_sqlite Threads::Threads GTest::gtest
                 GTest::gtest_main)
endfunction()

database_build_from_library_sources(IoFaultTest)
database_build_from_library_sources(PowerLossPosixTest)
