# mira.exe: the same command line, built against the DLLs as a host uses them.
# The host library loads mira.dll at run time (src/host/windows); Portkit's
# own calls come through its import library, by ordinal.
set(mira_cli_dir ${CMAKE_CURRENT_SOURCE_DIR})

# CLI11 is header-only, in the build machine's /usr/include. Only its own
# folder is put on the path, through a link, so that the Linux C headers
# beside it never stand in for the target's.
find_path(MIRA_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11)
file(CREATE_LINK ${MIRA_CLI11_INCLUDE}/CLI ${CMAKE_BINARY_DIR}/cli11/CLI SYMBOLIC)

add_library(mira_cli_core STATIC ${mira_cli_dir}/args.cpp ${mira_cli_dir}/output.cpp ${mira_cli_dir}/scan.cpp
                                 ${mira_cli_dir}/scan_run.cpp ${mira_cli_dir}/windows/commands_win.cpp)
mira_header_root(cli cli_root)
target_include_directories(mira_cli_core PUBLIC ${cli_root} PRIVATE ${CMAKE_BINARY_DIR}/cli11)
target_compile_definitions(mira_cli_core PRIVATE MIRA_VERSION="${PROJECT_VERSION}")
# scan.cpp frames with the published frame codec, which the link library defines.
# Only its objects: the link library's headers stay out of mira's sight.
target_link_libraries(mira_cli_core PUBLIC mira_host PRIVATE $<LINK_ONLY:mira_link> mira_warnings)

add_executable(mira_cli ${mira_cli_dir}/main.cpp)
set_target_properties(mira_cli PROPERTIES OUTPUT_NAME mira)
set_source_files_properties(${mira_cli_dir}/main.cpp PROPERTIES COMPILE_OPTIONS
                            "-include;${mira_cli_dir}/windows/posix_calls.h")
target_link_libraries(mira_cli PRIVATE mira_cli_core mira_warnings)
