# The Windows programs that ship, and their release archive.
#
# They are built only with the win32-thread compilers (preset windows-release): the runtime of
# the posix-thread ones imports GetTickCount64, which Windows XP lacks, so XP would refuse to
# start the program. The tests' build (preset windows, posix threads for GoogleTest) only notes
# their names; its tests take the programs from the shipped build.

set(KESTRELON_SHIPPED_PROGRAMS "")  # target names, in the order the archive lists them
set(KESTRELON_RELEASE_FOLDER Kestrelon-${PROJECT_VERSION})  # the archive's folder and name
if(KESTRELON_MINGW_THREADS STREQUAL "win32")
  set(KESTRELON_BUILDS_SHIPPED_PROGRAMS ON)
else()
  set(KESTRELON_BUILDS_SHIPPED_PROGRAMS OFF)
endif()

# Static, stripped, the header asking for Windows XP (5.1) at most, and no time stamp in it.
set(KESTRELON_PROGRAM_LINK_OPTIONS
  -static -municode -mwindows -s -Wl,--gc-sections -Wl,--no-insert-timestamp
  -Wl,--major-os-version,5,--minor-os-version,1
  -Wl,--major-subsystem-version,5,--minor-subsystem-version,1)

# The setup's plug-in: the same, as a DLL.
set(KESTRELON_PLUGIN_LINK_OPTIONS
  -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
  -Wl,--major-os-version,5,--minor-os-version,1
  -Wl,--major-subsystem-version,5,--minor-subsystem-version,1)

# What the install puts in the program folder besides the release's files: the uninstaller and the
# daily task's definition, which the setup writes there.
set(KESTRELON_UNINSTALLER Dezinstalare.exe)
set(KESTRELON_TASK_DEFINITION Raport-Z-zilnic.xml)
set(KESTRELON_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)  # on the setup's include path

# write_program_files(DOCUMENT...): the program folder's files, from the shipped programs and the
# documents (paths), for the setup's C++ (setup/program_files.h) and its script
# (program_files.nsh), both in KESTRELON_GENERATED_DIR: the one list of them is the one here.
function(write_program_files)
  set(programs ${KESTRELON_SHIPPED_PROGRAMS})
  list(TRANSFORM programs APPEND .exe)
  set(documents "")
  foreach(document ${ARGN})
    get_filename_component(name ${document} NAME)
    list(APPEND documents ${name})
  endforeach()
  set(files ${programs} ${documents} ${KESTRELON_UNINSTALLER} ${KESTRELON_TASK_DEFINITION})
  list(LENGTH programs program_count)
  list(LENGTH files file_count)
  # C++: wide strings.
  foreach(list programs files)
    set(cpp_${list} ${${list}})
    list(TRANSFORM cpp_${list} PREPEND "L\"")
    list(TRANSFORM cpp_${list} APPEND "\"")
    list(JOIN cpp_${list} ",\n    " cpp_${list})
  endforeach()
  # NSIS: each program from the build folder, each document from the sources; each file removed
  # but the uninstaller, which removes itself last.
  set(nsis_installed ${programs})
  list(TRANSFORM nsis_installed PREPEND "  File \"\${PROGRAMS}\\")
  list(TRANSFORM nsis_installed APPEND "\"")
  foreach(document ${ARGN})
    list(APPEND nsis_installed "  File \"${CMAKE_CURRENT_SOURCE_DIR}/${document}\"")
  endforeach()
  list(JOIN nsis_installed "\n" nsis_installed)
  set(nsis_removed ${programs} ${documents} "\${TASK_FILE}")
  list(TRANSFORM nsis_removed PREPEND "  !insertmacro RemoveOrTell \"$INSTDIR\\")
  list(TRANSFORM nsis_removed APPEND "\"")
  list(JOIN nsis_removed "\n" nsis_removed)
  configure_file(${PROJECT_SOURCE_DIR}/setup/program_files.h.in
                 ${KESTRELON_GENERATED_DIR}/setup/program_files.h @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/installer/program_files.nsh.in
                 ${KESTRELON_GENERATED_DIR}/program_files.nsh @ONLY)
endfunction()

# The date every entry of the release archive carries (local time, as zip files keep it).
set(KESTRELON_RELEASE_DATE "2026-12-07T12:00:00")

# A signed release (scripts/sign_release.sh) is a second build of this kind: it compiles
# nothing, but signs the programs of an unsigned build and packs the signed copies with the
# same commands as the unsigned release. Both empty in a normal build.
set(KESTRELON_SIGN_COMMAND "" CACHE FILEPATH
    "Gives a file its signature: COMMAND NAME UNSIGNED SIGNED (scripts/sign_file.sh)")
set(KESTRELON_UNSIGNED_BUILD "" CACHE PATH
    "With KESTRELON_SIGN_COMMAND: the build folder of the unsigned programs to sign")
if(KESTRELON_SIGN_COMMAND AND NOT KESTRELON_UNSIGNED_BUILD)
  message(FATAL_ERROR "KESTRELON_SIGN_COMMAND needs KESTRELON_UNSIGNED_BUILD")
endif()

# add_kestrelon_program(NAME SOURCE...): the GUI program NAME.exe, over the shell and the core,
# in the top of the build folder; in a signed release, the unsigned build's NAME.exe signed.
function(add_kestrelon_program name)
  set(KESTRELON_SHIPPED_PROGRAMS ${KESTRELON_SHIPPED_PROGRAMS} ${name} PARENT_SCOPE)
  if(NOT KESTRELON_BUILDS_SHIPPED_PROGRAMS)
    return()
  endif()
  if(KESTRELON_SIGN_COMMAND)
    set(unsigned ${KESTRELON_UNSIGNED_BUILD}/${name}.exe)
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/${name}.exe
      COMMAND ${KESTRELON_SIGN_COMMAND} ${name}.exe ${unsigned} ${CMAKE_BINARY_DIR}/${name}.exe
      DEPENDS ${unsigned} ${KESTRELON_SIGN_COMMAND}
      COMMENT "Signing ${name}.exe"
      VERBATIM)
    add_custom_target(${name} DEPENDS ${CMAKE_BINARY_DIR}/${name}.exe)
  else()
    add_executable(${name} WIN32 ${ARGN})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    target_link_libraries(${name} PRIVATE kestrelon_shell)
    target_link_options(${name} PRIVATE ${KESTRELON_PROGRAM_LINK_OPTIONS})
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/setup_program.cmake)

# add_release(ICON DOCUMENT...): target release (part of the build), which writes into dist/ the
# archive Kestrelon-<version>.zip (one folder Kestrelon-<version>/ with every shipped program,
# then the documents), the setup program Kestrelon-<version>-setup.exe (the same files, ICON as
# its own) and SHA256SUMS for both. Fixed order, dates and permissions: every build of the same
# sources gives the same bytes.
function(add_release icon)
  set(documents ${ARGN})
  set(names "")
  foreach(document ${documents})
    get_filename_component(name ${document} NAME)
    list(APPEND names ${name})
  endforeach()
  set(KESTRELON_RELEASE_DOCUMENTS ${names} PARENT_SCOPE)  # their names in the archive
  write_program_files(${documents})
  if(NOT KESTRELON_BUILDS_SHIPPED_PROGRAMS)
    return()
  endif()
  set(folder ${KESTRELON_RELEASE_FOLDER})
  set(dist ${CMAKE_BINARY_DIR}/dist)
  set(archive ${dist}/${folder}.zip)
  set(setup ${dist}/${KESTRELON_SETUP_PROGRAM})
  set(sums ${dist}/SHA256SUMS)
  set(archive_script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/release_archive.py)
  set(files "")
  foreach(program ${KESTRELON_SHIPPED_PROGRAMS})
    list(APPEND files ${CMAKE_BINARY_DIR}/${program}.exe)
  endforeach()
  list(TRANSFORM documents PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  add_custom_command(
    OUTPUT ${archive}
    COMMAND /usr/bin/python3 ${archive_script} --folder ${folder} --date ${KESTRELON_RELEASE_DATE}
            --zip ${archive} ${files} ${documents}
    DEPENDS ${KESTRELON_SHIPPED_PROGRAMS} ${files} ${documents} ${archive_script}
    COMMENT "Packing ${archive}")
  add_setup_program(${CMAKE_CURRENT_SOURCE_DIR}/${icon} ${setup} ${documents})
  # The lines `sha256sum -c` reads, written by that very tool.
  add_custom_command(
    OUTPUT ${sums}
    COMMAND sha256sum ${folder}.zip ${KESTRELON_SETUP_PROGRAM} > ${sums}
    WORKING_DIRECTORY ${dist}
    DEPENDS ${archive} ${setup}
    COMMENT "Writing ${sums}")
  add_custom_target(release ALL DEPENDS ${archive} ${setup} ${sums})
endfunction()
