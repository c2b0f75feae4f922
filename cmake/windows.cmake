# Windows build: the program, and its tests run under Wine.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

set(CORE_SOURCES
    src/probe/pacer.cpp
    src/probe/server_probe.cpp
    src/probe/scan_control.cpp
    src/serverlist/server_table.cpp
    src/serverlist/list_encoding.cpp
    src/serverlist/list_file.cpp
    src/ui/main_dialog.cpp
    src/ui/start_up.cpp)
set(PLATFORM_LIBS ws2_32 comctl32 shlwapi)
# One self-contained exe: the compiler's runtime is linked in, so only
# system DLLs are imported. ASLR and DEP are asked for explicitly.
# No link time in the PE header (and so no checksum that follows it): one
# commit then gives the same exe byte for byte, wherever and whenever built.
set(STATIC_LINK -static -static-libgcc -static-libstdc++ -Wl,--dynamicbase -Wl,--nxcompat
                -Wl,--no-insert-timestamp)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND STATIC_LINK -Wl,--high-entropy-va)
endif()

add_library(dnscheck_core STATIC ${CORE_SOURCES})
target_include_directories(dnscheck_core PUBLIC src res)
# windows.h then leaves out the old winsock.h, which clashes with winsock2.h.
target_compile_definitions(dnscheck_core PUBLIC WIN32_LEAN_AND_MEAN)
target_compile_options(dnscheck_core PRIVATE ${WARNINGS})
target_link_libraries(dnscheck_core PUBLIC dnsmessage listtext ${PLATFORM_LIBS})

add_executable(dnscheck WIN32 src/ui/main.cpp res/dnscheck.rc)
target_include_directories(dnscheck PRIVATE src res)
target_compile_options(dnscheck PRIVATE ${WARNINGS})
target_link_options(dnscheck PRIVATE ${STATIC_LINK} -s)
target_link_libraries(dnscheck PRIVATE dnscheck_core)
set_property(SOURCE res/dnscheck.rc APPEND PROPERTY COMPILE_DEFINITIONS
             DNSCHECK_VERSION=${PROJECT_VERSION} DNSCHECK_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
             DNSCHECK_VERSION_MINOR=${PROJECT_VERSION_MINOR} DNSCHECK_VERSION_PATCH=${PROJECT_VERSION_PATCH})
set_property(SOURCE res/dnscheck.rc APPEND PROPERTY OBJECT_DEPENDS
             ${CMAKE_SOURCE_DIR}/res/dnscheck.ico ${CMAKE_SOURCE_DIR}/res/dnscheck.manifest
             ${CMAKE_SOURCE_DIR}/res/dnscheck-amd64.manifest ${CMAKE_SOURCE_DIR}/res/resource.h)
# The default list travels beside the exe, copied again whenever it
# changes (not only when the exe is linked again). A list the tool saved
# there since is newer and stays.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dns.ini
                   COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/res/dns.ini
                           ${CMAKE_BINARY_DIR}/dns.ini
                   DEPENDS ${CMAKE_SOURCE_DIR}/res/dns.ini)
add_custom_target(default_list ALL DEPENDS ${CMAKE_BINARY_DIR}/dns.ini)
add_dependencies(dnscheck default_list)

option(DNSCHECK_TESTS "Build the tests (run under Wine)" ON)
if(DNSCHECK_TESTS)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/wine)
  include(tests/tests.cmake)
endif()
