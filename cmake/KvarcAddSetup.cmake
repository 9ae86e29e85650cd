# kvarc_add_setup(<name> INSTALLER <target-or-file> [OUTPUT <file>] [DATA <item>...]
#                 [METHOD <method>] [LEVEL <n>] [LAUNCHER <file>])
#
# Adds a target <name>, built by default, that makes a Setup.exe with
# `kvarc setup`: INSTALLER packed as the program the launcher starts, and
# the DATA items beside it, as `kvarc create` takes them ([METHOD:]NAME=PATH,
# PATH, @LIST). Relative paths in DATA and a relative INSTALLER file are
# taken from the current source folder (kvarc runs there), a relative
# OUTPUT from the current binary folder; OUTPUT defaults to
# ${CMAKE_CURRENT_BINARY_DIR}/<name>.exe. INSTALLER may name a target (its
# file is packed, and it is built first) or a file. METHOD and LEVEL are
# kvarc's -m and --level. LAUNCHER is the unstamped launcher to stamp; by
# default the package's own (a Windows build's package carries one), else
# the one kvarc carries. An existing output is replaced.
#
# The Setup.exe is made again whenever the installer, the launcher, kvarc,
# or any file kvarc read changes: kvarc writes every file it read into a
# depfile (--depfile), so the files inside a DATA folder are tracked one by
# one. A file newly added to such a folder is not noticed until one of them
# changes or the target is built anew (a depfile lists files, not folders).
#
# kvarc is the package's Zerk::kvarc. A Windows build's package has none
# (its kvarc.exe does not run on the host); then the host's kvarc is taken
# from KVARC_EXECUTABLE (a CMake variable or the environment), else looked
# for on the PATH.
#
# The depfile's paths are absolute, which every generator with DEPFILE
# support (Makefiles and Ninja since CMake 3.20) takes as they are.
cmake_policy(PUSH)
cmake_policy(SET CMP0116 NEW)

function(kvarc_add_setup name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INSTALLER;OUTPUT;METHOD;LEVEL;LAUNCHER" "DATA")
  set(what "kvarc_add_setup(${name})")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${what}: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_INSTALLER)
    message(FATAL_ERROR "${what}: INSTALLER <target-or-file> is required")
  endif()

  if(TARGET Zerk::kvarc)
    set(kvarc "$<TARGET_FILE:Zerk::kvarc>")
    set(kvarc_dependency Zerk::kvarc)
  else()
    if(NOT KVARC_EXECUTABLE AND NOT "$ENV{KVARC_EXECUTABLE}" STREQUAL "")
      set(KVARC_EXECUTABLE "$ENV{KVARC_EXECUTABLE}" CACHE FILEPATH
          "The host's kvarc, which kvarc_add_setup runs" FORCE)
    endif()
    # Looked for on the host even in a cross build.
    find_program(KVARC_EXECUTABLE kvarc NO_CMAKE_FIND_ROOT_PATH
                 DOC "The host's kvarc, which kvarc_add_setup runs")
    if(NOT KVARC_EXECUTABLE)
      message(FATAL_ERROR
              "${what}: no kvarc to run. This Zerk package (${Zerk_DIR}) is a Windows "
              "build's and carries none for the host: set KVARC_EXECUTABLE (a CMake variable "
              "or an environment variable) to the host's kvarc, or put kvarc on the PATH.")
    endif()
    if(NOT EXISTS "${KVARC_EXECUTABLE}" OR IS_DIRECTORY "${KVARC_EXECUTABLE}")
      message(FATAL_ERROR "${what}: KVARC_EXECUTABLE is ${KVARC_EXECUTABLE}, which is no program")
    endif()
    set(kvarc "${KVARC_EXECUTABLE}")
    set(kvarc_dependency "${KVARC_EXECUTABLE}")
  endif()

  if(TARGET ${arg_INSTALLER})
    set(installer "$<TARGET_FILE:${arg_INSTALLER}>")
    set(installer_dependency ${arg_INSTALLER})
  else()
    get_filename_component(installer "${arg_INSTALLER}" ABSOLUTE
                           BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    set(installer_dependency "${installer}")
  endif()

  if(arg_OUTPUT)
    get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  else()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  endif()
  set(depfile "${CMAKE_CURRENT_BINARY_DIR}/${name}.d")

  set(options)
  set(launcher_dependency)
  if(arg_LAUNCHER)
    get_filename_component(launcher "${arg_LAUNCHER}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND options --launcher "${launcher}")
    set(launcher_dependency "${launcher}")
  elseif(ZERK_LAUNCHER)
    list(APPEND options --launcher "${ZERK_LAUNCHER}")
    if(ZERK_LAUNCHER_X64)
      list(APPEND options --allow-x64)
    endif()
    set(launcher_dependency "${ZERK_LAUNCHER}")
  endif()
  if(DEFINED arg_METHOD)
    list(APPEND options --method "${arg_METHOD}")
  endif()
  if(DEFINED arg_LEVEL)
    list(APPEND options --level "${arg_LEVEL}")
  endif()

  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${kvarc}" setup -f --depfile "${depfile}" -o "${output}" ${options}
            -- "${installer}" ${arg_DATA}
    DEPENDS ${installer_dependency} ${launcher_dependency} ${kvarc_dependency}
    DEPFILE "${depfile}"
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    COMMENT "kvarc setup: ${output}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()

cmake_policy(POP)
