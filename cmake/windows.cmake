# The Windows build (mingw-w64): mira.dll, Portkit.dll and mira.exe in one
# folder, bin/, each with its C and C++ runtime linked in, so that the folder
# is all a host needs.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                        # localtime_r, which the trace and the command line use
                        _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
add_link_options(-static)

# Portkit's import library, made from the .def: by ordinal, never by name.
set(MIRA_PORTKIT_DEF ${CMAKE_SOURCE_DIR}/src/exports/portkit.def)
set(MIRA_PORTKIT_IMPLIB ${CMAKE_BINARY_DIR}/libportkit_ordinals.a)
add_custom_command(OUTPUT ${MIRA_PORTKIT_IMPLIB}
                   COMMAND ${CMAKE_DLLTOOL} -d ${MIRA_PORTKIT_DEF} -l ${MIRA_PORTKIT_IMPLIB}
                   DEPENDS ${MIRA_PORTKIT_DEF} VERBATIM)
add_custom_target(portkit_ordinals_implib DEPENDS ${MIRA_PORTKIT_IMPLIB})
add_library(portkit_ordinals INTERFACE)
target_link_libraries(portkit_ordinals INTERFACE ${MIRA_PORTKIT_IMPLIB})
add_dependencies(portkit_ordinals portkit_ordinals_implib)

# mira.dll: the 21 names of mira.def, and Portkit imported by ordinal.
function(mira_windows_driver target)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/exports/mira.def
                                   ${CMAKE_SOURCE_DIR}/src/platform/dll_main_win.cpp)
  target_link_libraries(${target} PRIVATE portkit_ordinals mira_driver_flags mira_warnings)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME mira)
endfunction()

# Portkit.dll: exports by the ordinals of portkit.def only; TCP through Winsock.
function(mira_windows_portkit target)
  target_sources(${target} PRIVATE ${MIRA_PORTKIT_DEF})
  target_link_libraries(${target} PRIVATE ws2_32)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME Portkit)
endfunction()
