# The setup program: an NSIS installer (installer/Kestrelon.nsi) of the shipped programs and
# the documents that go with them, built with Debian's makensis. NSIS's Romanian language files use the cedilla
# letters ş ţ: the build writes copies with ș ț beside it and the script loads those.

set(KESTRELON_SETUP_PROGRAM ${KESTRELON_RELEASE_FOLDER}-setup.exe)  # its name in dist/
set(KESTRELON_NSIS_LANGUAGES "/usr/share/nsis/Contrib/Language files" CACHE PATH
    "NSIS's language files (Romanian.nlf and Romanian.nsh are read from here)")

# The setup's plug-in, KestrelonSetup.dll: its folder and file work (setup/), over the programs'
# own file services. Built like the programs (static, stripped, no time stamp, for Windows XP);
# a signed release packs the unsigned build's.
set(KESTRELON_SETUP_PLUGIN_DIR ${CMAKE_BINARY_DIR}/plugins)
function(add_setup_plugin)
  if(KESTRELON_SIGN_COMMAND)
    set(KESTRELON_SETUP_PLUGIN_DIR ${KESTRELON_UNSIGNED_BUILD}/plugins PARENT_SCOPE)
    return()
  endif()
  add_library(KestrelonSetup SHARED ${PROJECT_SOURCE_DIR}/setup/plugin_win32.cpp
              ${PROJECT_SOURCE_DIR}/setup/plugin_support_win32.cpp
              ${PROJECT_SOURCE_DIR}/setup/plugin_search_win32.cpp)
  set_target_properties(KestrelonSetup PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY
                        ${KESTRELON_SETUP_PLUGIN_DIR} RUNTIME_OUTPUT_DIRECTORY
                        ${KESTRELON_SETUP_PLUGIN_DIR})
  target_compile_options(KestrelonSetup PRIVATE -ffunction-sections -fdata-sections)
  target_link_libraries(KestrelonSetup PRIVATE kestrelon_setup shell32)
  target_link_options(KestrelonSetup PRIVATE ${KESTRELON_PLUGIN_LINK_OPTIONS})
endfunction()

# add_setup_program(ICON OUTPUT DOCUMENT...): writes OUTPUT (the setup program) from the shipped
# programs, the documents and the programs' ICON (its own icon, and its welcome and finish
# picture).
function(add_setup_program icon output)
  find_program(KESTRELON_MAKENSIS makensis REQUIRED)
  set(installer ${PROJECT_SOURCE_DIR}/installer)
  set(languages ${CMAKE_BINARY_DIR}/installer-languages)
  set(converted ${languages}/Romanian.nlf ${languages}/Romanian.nsh)
  add_custom_command(
    OUTPUT ${converted}
    COMMAND /usr/bin/python3 ${installer}/romanian_language.py ${KESTRELON_NSIS_LANGUAGES}
            ${languages}
    DEPENDS ${installer}/romanian_language.py "${KESTRELON_NSIS_LANGUAGES}/Romanian.nlf"
            "${KESTRELON_NSIS_LANGUAGES}/Romanian.nsh"
    COMMENT "Romanian language files for the setup program, with ș ț"
    VERBATIM)
  # The picture of the welcome and finish pages, drawn from the programs' icon.
  set(bitmap ${CMAKE_BINARY_DIR}/installer-bitmap/welcome.bmp)
  set(bitmap_script ${PROJECT_SOURCE_DIR}/resources/make_setup_bitmap.py)
  add_custom_command(
    OUTPUT ${bitmap}
    COMMAND /usr/bin/python3 ${bitmap_script} ${icon} ${bitmap}
    DEPENDS ${bitmap_script} ${icon}
    COMMENT "The setup program's welcome and finish picture, from ${icon}"
    VERBATIM)
  file(GLOB scripts CONFIGURE_DEPENDS ${installer}/*.nsi ${installer}/*.nsh)
  # A signed release: makensis has the uninstaller signed before packing it, the setup last.
  set(signing "")
  if(KESTRELON_SIGN_COMMAND)
    set(signing -DSIGN_COMMAND=${KESTRELON_SIGN_COMMAND})
  endif()
  # The programs and the documents keep their file names, as in the zip; the script takes them,
  # and the other files of the program folder, from program_files.nsh (write_program_files).
  add_setup_plugin()
  set(plugin ${KESTRELON_SETUP_PLUGIN_DIR}/KestrelonSetup.dll)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${KESTRELON_MAKENSIS} -V2 -WX -INPUTCHARSET UTF8 -DVERSION=${PROJECT_VERSION}
            -DPROGRAMS=${CMAKE_BINARY_DIR} -DICON=${icon} -DBITMAP=${bitmap}
            -DLANGUAGE_FILES=${languages} -DPLUGINS=${KESTRELON_SETUP_PLUGIN_DIR}
            -DPROGRAM_FOLDER_FILES=${KESTRELON_GENERATED_DIR}/program_files.nsh
            -DOUTFILE=${output} ${signing} ${installer}/Kestrelon.nsi
    DEPENDS ${KESTRELON_SHIPPED_PROGRAMS} ${plugin} ${ARGN} ${icon} ${bitmap} ${scripts} ${converted}
            ${KESTRELON_GENERATED_DIR}/program_files.nsh
            ${KESTRELON_SIGN_COMMAND}
    COMMENT "Building the setup program ${output}"
    VERBATIM)
endfunction()
