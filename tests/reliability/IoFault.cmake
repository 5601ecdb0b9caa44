# Built from the library's own sources, so that the process has one SQLite (see IoFaultTest.cpp).
set(_library ${CMAKE_CURRENT_LIST_DIR}/../../DataBase)
file(GLOB _library_sources CONFIGURE_DEPENDS ${_library}/src/*.cpp)
target_sources(IoFaultTest PRIVATE ${_library_sources} ${CMAKE_CURRENT_LIST_DIR}/../support/TestSupport.cpp)
target_include_directories(IoFaultTest PRIVATE ${_library}/include ${_library}/src ${CMAKE_CURRENT_LIST_DIR}/../support)
target_compile_definitions(IoFaultTest PRIVATE DATABASE_BUILDING)  # its own classes, not a DLL's
find_package(Threads REQUIRED)
set_property(TARGET IoFaultTest PROPERTY LINK_LIBRARIES LogHelper VtFileUtil Model PlatformHeaders
             Platform database_sqlite Threads::Threads GTest::gtest GTest::gtest_main)
