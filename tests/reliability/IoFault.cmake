# The I/O-fault suite registers a faulty VFS that the library's connections must go through. The
# library keeps its SQLite private, so this one executable is built from the library's own
# sources instead of linking it: one SQLite in the process, the production library unchanged.
if(TARGET IoFaultTest)
    set(_library_dir ${CMAKE_CURRENT_LIST_DIR}/../../DataBase)
    file(GLOB _library_sources CONFIGURE_DEPENDS ${_library_dir}/src/*.cpp)
    target_sources(IoFaultTest PRIVATE ${_library_sources}
                   ${CMAKE_CURRENT_LIST_DIR}/../support/TestSupport.cpp)
    target_include_directories(IoFaultTest PRIVATE ${_library_dir}/include ${_library_dir}/src
                               ${CMAKE_CURRENT_LIST_DIR}/../support)
    # Defined for the whole executable: the classes are its own, not imported from a DLL.
    target_compile_definitions(IoFaultTest PRIVATE DATABASE_BUILDING)
    find_package(Threads REQUIRED)
    set_property(TARGET IoFaultTest PROPERTY LINK_LIBRARIES
        LogHelper VtFileUtil Model PlatformHeaders Platform database_sqlite Threads::Threads
        GTest::gtest GTest::gtest_main)
endif()
