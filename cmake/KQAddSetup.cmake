# kq_add_setup(<name> OUTPUT <file> INSTALLER <target-or-file> [STUB <file>]
#              [FILES <entry>=<path>...] [DIRECTORY <entry>=<dir>...]
#              [METHOD <none|rle|lzh1|lh5>] [KEY <key>] [FORCE]
#              [ICON <file.ico>] [VERSION <x.y.z[.w]>] [VERSION_INFO <KEY>=<VALUE>...])
#
# Makes a setup at build time with the installed kqi: a copy of the launcher
# STUB (default: the installed kqsetup.exe, else the installed POSIX kqsetup)
# whose payload holds the installer and the further entries. FILES add one
# entry per file; DIRECTORY adds the folder's files under <entry>\. Relative
# paths are taken from the current source folder, OUTPUT from the current
# binary folder. The target <name> is part of the default build; the setup
# is made again when the installer, the stub or a listed file changes. FORCE
# accepts an installer that is no Windows program with a Windows stub.
# ICON, VERSION and VERSION_INFO give a Windows setup the publisher's icon and
# version information (kqi setup --icon, --version, --version-info); the
# setup is made again when the icon changes. A VALUE cannot hold ';'.
# The OUTPUT may not be the target's own name in the top build folder: Ninja
# would see two rules for one name.
include_guard(GLOBAL)

function(kq_add_setup name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "FORCE" "OUTPUT;INSTALLER;STUB;METHOD;KEY;ICON;VERSION"
                        "FILES;DIRECTORY;VERSION_INFO")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kq_add_setup(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_OUTPUT OR NOT arg_INSTALLER)
    message(FATAL_ERROR "kq_add_setup(${name}): give OUTPUT and INSTALLER")
  endif()
  if(NOT TARGET InstCompress::kqi)
    message(FATAL_ERROR "kq_add_setup(${name}): this InstCompress package has no kqi")
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)
  cmake_path(ABSOLUTE_PATH name BASE_DIRECTORY "${CMAKE_BINARY_DIR}" NORMALIZE OUTPUT_VARIABLE target_path)
  if(arg_OUTPUT STREQUAL target_path)
    message(FATAL_ERROR "kq_add_setup(${name}): the OUTPUT ${arg_OUTPUT} has the target's own name in the top build "
                        "folder, where Ninja cannot tell the file from the target (\"multiple rules generate ${name}\"): "
                        "name the target otherwise, for example ${name}_setup, or give the OUTPUT another name or folder")
  endif()

  set(kqi "$<TARGET_FILE:InstCompress::kqi>")
  set(depends "${kqi}")
  if(TARGET "${arg_INSTALLER}")
    set(installer "$<TARGET_FILE:${arg_INSTALLER}>")
    list(APPEND depends "${arg_INSTALLER}")
  else()
    cmake_path(ABSOLUTE_PATH arg_INSTALLER BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE
               OUTPUT_VARIABLE installer)
    list(APPEND depends "${installer}")
  endif()

  if(arg_STUB)
    cmake_path(ABSOLUTE_PATH arg_STUB BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE
               OUTPUT_VARIABLE stub)
  elseif(EXISTS "${InstCompress_STUB_DIR}/kqsetup.exe")
    set(stub "${InstCompress_STUB_DIR}/kqsetup.exe")
  elseif(EXISTS "${InstCompress_STUB_DIR}/kqsetup")
    set(stub "${InstCompress_STUB_DIR}/kqsetup")
  else()
    message(FATAL_ERROR "kq_add_setup(${name}): no STUB given and none installed in ${InstCompress_STUB_DIR}")
  endif()
  list(APPEND depends "${stub}")

  set(options)
  if(arg_METHOD)
    list(APPEND options --method "${arg_METHOD}")
  endif()
  if(DEFINED arg_KEY)
    list(APPEND options --key "${arg_KEY}")
  endif()
  if(arg_FORCE)
    list(APPEND options --force)
  endif()
  if(arg_ICON)
    cmake_path(ABSOLUTE_PATH arg_ICON BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE OUTPUT_VARIABLE icon)
    list(APPEND options --icon "${icon}")
    list(APPEND depends "${icon}")
  endif()
  if(DEFINED arg_VERSION)
    if(NOT arg_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
      message(FATAL_ERROR "kq_add_setup(${name}): VERSION ${arg_VERSION} is not 1 to 4 numbers such as 2.1.0")
    endif()
    list(APPEND options --version "${arg_VERSION}")
  endif()
  foreach(info IN LISTS arg_VERSION_INFO)
    if(NOT info MATCHES "^[A-Za-z]+=")
      message(FATAL_ERROR "kq_add_setup(${name}): write VERSION_INFO as <KEY>=<VALUE>, not '${info}'")
    endif()
    list(APPEND options --version-info "${info}")
  endforeach()

  set(entries)
  foreach(kind FILES DIRECTORY)
    foreach(spec IN LISTS arg_${kind})
      string(FIND "${spec}" "=" equals)
      if(equals LESS 1)
        message(FATAL_ERROR "kq_add_setup(${name}): write ${kind} as <entry>=<path>, not '${spec}'")
      endif()
      string(SUBSTRING "${spec}" 0 ${equals} entry)
      math(EXPR after "${equals} + 1")
      string(SUBSTRING "${spec}" ${after} -1 path)
      cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
      if(kind STREQUAL "FILES")
        list(APPEND depends "${path}")
      else()
        # A file added to or removed from the folder makes the build look again.
        file(GLOB_RECURSE contents LIST_DIRECTORIES false CONFIGURE_DEPENDS "${path}/*")
        list(APPEND depends ${contents})
      endif()
      list(APPEND entries "${entry}=${path}")
    endforeach()
  endforeach()

  add_custom_command(OUTPUT "${arg_OUTPUT}"
    COMMAND "${kqi}" setup -q --stub "${stub}" --installer "${installer}" -o "${arg_OUTPUT}" ${options} ${entries}
    DEPENDS ${depends}
    COMMENT "Making setup ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${arg_OUTPUT}")
endfunction()
