# mira.exe: the same command line, built against the DLLs as a host uses them.
# mira.dll is loaded at run time (driver_loader.cpp defines the UDrv calls, so
# mira.h declares them without dllimport); Portkit's own calls come through
# its import library, by ordinal.
set(mira_cli_dir ${CMAKE_CURRENT_SOURCE_DIR})

# CLI11 is header-only, in the build machine's /usr/include. Only its own
# folder is put on the path, through a link, so that the Linux C headers
# beside it never stand in for the target's.
find_path(MIRA_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11)
file(CREATE_LINK ${MIRA_CLI11_INCLUDE}/CLI ${CMAKE_BINARY_DIR}/cli11/CLI SYMBOLIC)

add_library(mira_cli_core STATIC ${mira_cli_dir}/args.cpp ${mira_cli_dir}/format.cpp ${mira_cli_dir}/line_watch.cpp
                                 ${mira_cli_dir}/output.cpp ${mira_cli_dir}/scan.cpp ${mira_cli_dir}/scan_run.cpp
                                 ${mira_cli_dir}/values.cpp
                                 ${mira_cli_dir}/windows/commands_win.cpp)
mira_header_root(cli cli_root)
target_include_directories(mira_cli_core PUBLIC ${CMAKE_SOURCE_DIR}/include ${cli_root}
                                                $<TARGET_PROPERTY:portkit,INTERFACE_INCLUDE_DIRECTORIES>
                                         PRIVATE ${CMAKE_BINARY_DIR}/cli11)
target_compile_definitions(mira_cli_core PUBLIC MIRA_LOADED_AT_RUN_TIME)
target_link_libraries(mira_cli_core PUBLIC portkit_ordinals PRIVATE mira_link mira_warnings)

add_executable(mira_cli ${mira_cli_dir}/main.cpp ${mira_cli_dir}/windows/driver_loader.cpp
                        ${mira_cli_dir}/windows/host_window.cpp)
set_target_properties(mira_cli PROPERTIES OUTPUT_NAME mira)
set_source_files_properties(${mira_cli_dir}/main.cpp PROPERTIES COMPILE_OPTIONS
                            "-include;${mira_cli_dir}/windows/posix_calls.h")
target_link_libraries(mira_cli PRIVATE mira_cli_core mira_warnings)
# Built with the DLLs it loads, into the same folder.
add_dependencies(mira_cli mira portkit)
