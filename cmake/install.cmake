# What `cmake --install` puts under the prefix, the same for every preset:
#   bin/kvarc (kvarc.exe)            the builder, carrying its launcher
#   share/zerk/Setup.exe             Windows builds only: the unstamped launcher
#   lib/lib*.a                       the archive component and the layers below it
#   include/zerk/...                 its public headers and every header they include
#   lib/cmake/Zerk/                  the CMake package (ZerkConfig.cmake and the rest)
#   share/man/man1/kvarc.1           when doc/kvarc.1 is in the tree
#   share/doc/zerk/                  README.md, and LICENSE when it is in the tree
# and nothing else: test programs, the demonstration installer and the
# builder's own libraries have no install rules.
include(CMakePackageConfigHelpers)

set(kv_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Zerk)

# The component and the layers it needs. Exported as Zerk::<target>, each
# naming the next below it, so that linking Zerk::dozirivovaze puts the four
# libraries on the link line in dependency order.
install(TARGETS dozirivovaze kvcodecs kvbytepump kvcore EXPORT ZerkTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The headers: the component's public ones and, transitively, every project
# header they include (found by their #include "..." lines, so that a new
# include is taken up at the next configure), at the same relative paths
# under include/zerk/, where the same #include lines find them.
set(kv_headers)
set(kv_pending archive/dozirivovaze.h archive/rorodovazezudovo.h)
while(kv_pending)
  list(POP_FRONT kv_pending header)
  if(header IN_LIST kv_headers)
    continue()
  endif()
  list(APPEND kv_headers ${header})
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} includes REGEX "^#include \"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    list(APPEND kv_pending ${included})
  endforeach()
endwhile()
foreach(header IN LISTS kv_headers)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zerk/${folder})
endforeach()

# kvarc. A Windows build's package cannot offer it to the build that uses
# the package (that build runs on the host); it carries the unstamped
# launcher instead, which kvarc_add_setup stamps by default.
set(KV_LAUNCHER_FILE ${CMAKE_INSTALL_DATADIR}/zerk/Setup.exe)
if(WIN32)
  install(TARGETS kvarc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS Setup RUNTIME DESTINATION ${CMAKE_INSTALL_DATADIR}/zerk)
  set(KV_PACKAGE_HAS_LAUNCHER TRUE)
else()
  install(TARGETS kvarc EXPORT ZerkTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(KV_PACKAGE_HAS_LAUNCHER FALSE)
endif()
# A 64-bit build's launcher (made for hosts without 32-bit Windows) is
# stamped with --allow-x64.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KV_LAUNCHER_X64 TRUE)
else()
  set(KV_LAUNCHER_X64 FALSE)
endif()

# The package.
install(EXPORT ZerkTargets NAMESPACE Zerk:: DESTINATION ${kv_package_dir})
configure_package_config_file(cmake/ZerkConfig.cmake.in ${PROJECT_BINARY_DIR}/ZerkConfig.cmake
                              INSTALL_DESTINATION ${kv_package_dir}
                              PATH_VARS KV_LAUNCHER_FILE)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZerkConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZerkConfig.cmake ${PROJECT_BINARY_DIR}/ZerkConfigVersion.cmake
              cmake/KvarcAddSetup.cmake
        DESTINATION ${kv_package_dir})

# Documentation. The man page and the licence are installed when the tree
# has them.
if(EXISTS ${PROJECT_SOURCE_DIR}/doc/kvarc.1)
  install(FILES doc/kvarc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
