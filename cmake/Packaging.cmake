# Installation and packages: what `cmake --install` puts where, the CMake package (cregistryConfig.cmake),
# the pkg-config file (Linux) and CPack (a .deb from the native build, a zip from the Windows build).
# Included from the top CMakeLists.txt after every target exists.
#
# Layout, Linux (prefix /usr in the .deb):
#   bin/cregistry                                   the registry tool (when the tree has it)
#   bin/install-templates -> ../lib/install-templates/install-templates
#   lib/install-templates/{install-templates,content/}   the installer and its package, kept together
#   lib/<multiarch>/libcregistry.so.3.0.0 (SONAME libcregistry.so.3), libcregistry.so, libcregistry.a
#   lib/<multiarch>/cmake/cregistry/, lib/<multiarch>/pkgconfig/cregistry.pc
#   include/cregistry/...                           the public headers, as <cregistry/cRegistry.h>
#   share/doc/install-templates/{copyright,changelog.gz,README.md}, share/man/man1/install-templates.1.gz
# Layout, Windows (the zip's top folder):
#   install-templates.exe, content/, cregistry.exe, include/cregistry/..., lib/libcregistry.a,
#   lib/cmake/cregistry/

# Debian keeps libraries in lib/<multiarch> under every prefix; GNUInstallDirs does so only for /usr.
if(NOT WIN32 AND NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib/<multiarch>)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(it_package_name install-templates)
set(it_summary "Mail template installer and the cregistry registry accessor library")
set(it_maintainer "install-templates maintainers <maintainers@users.noreply.c-seed-4ec91bad.example>")
set(it_include_dir "${CMAKE_INSTALL_INCLUDEDIR}")
set(it_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/cregistry")
if(WIN32)
  set(it_program_dir .)
  set(it_tool_dir .)
else()
  set(it_program_dir "lib/${it_package_name}")
  set(it_tool_dir "${CMAKE_INSTALL_BINDIR}")
endif()

# --- The library -------------------------------------------------------------------------------------
# The in-tree target `cregistry` (static) is what the tree's own programs and tests link. Its include
# path names the source tree; for an install it must be the installed include folder, so each source or
# build path in its interface is kept for the build only.
function(it_build_interface_only target)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set(result)
  foreach(dir IN LISTS dirs)
    string(FIND "${dir}" "${PROJECT_SOURCE_DIR}" in_source)
    string(FIND "${dir}" "${PROJECT_BINARY_DIR}" in_build)
    if(in_source EQUAL 0 OR in_build EQUAL 0)
      list(APPEND result "$<BUILD_INTERFACE:${dir}>")
    else()
      list(APPEND result "${dir}")
    endif()
  endforeach()
  set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${result}")
endfunction()
it_build_interface_only(cregistry)

set(it_library_targets cregistry)
if(WIN32)
  set_property(TARGET cregistry PROPERTY EXPORT_NAME cregistry)
else()
  # Linux also ships a shared library, built from the same sources with the same settings as the static
  # one (read from the target, so sources added to registry/ follow), named libcregistry.so.3.
  # The libraries it links were found in registry/'s scope: find them here too.
  find_package(SQLite3 REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
  set_property(TARGET cregistry PROPERTY EXPORT_NAME cregistry_static)
  get_target_property(it_sources cregistry SOURCES)
  get_target_property(it_source_dir cregistry SOURCE_DIR)
  set(it_shared_sources)
  foreach(src IN LISTS it_sources)
    if(NOT IS_ABSOLUTE "${src}" AND NOT src MATCHES "^\\$<")
      set(src "${it_source_dir}/${src}")
    endif()
    list(APPEND it_shared_sources "${src}")
  endforeach()
  add_library(cregistry-shared SHARED ${it_shared_sources})
  foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS COMPILE_FEATURES LINK_LIBRARIES)
    get_target_property(value cregistry ${property})
    if(value)
      set_property(TARGET cregistry-shared PROPERTY ${property} "${value}")
    endif()
  endforeach()
  get_target_property(value cregistry INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(cregistry-shared PROPERTIES
    OUTPUT_NAME cregistry
    EXPORT_NAME cregistry
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INTERFACE_INCLUDE_DIRECTORIES "${value}"
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
  list(APPEND it_library_targets cregistry-shared)
endif()

install(TARGETS ${it_library_targets} EXPORT cregistryTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${it_include_dir})

# A stripped install (cpack, cmake --install --strip) drops the static library's debug sections too, as
# Debian's dh_strip does; its symbols stay.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:cregistry>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")

# The public headers: include/cregistry/ in the tree and in the install alike, so that a consumer writes
# #include <cregistry/cRegistry.h> with -I<prefix>/include. The store's header is Linux's alone.
install(DIRECTORY include/cregistry DESTINATION ${it_include_dir}
  FILES_MATCHING PATTERN "*.h"
  PATTERN "Store.h" EXCLUDE)
if(NOT WIN32)
  install(FILES include/cregistry/Store.h DESTINATION ${it_include_dir}/cregistry)
endif()

# The CMake package: find_package(cregistry 3) gives cregistry::cregistry (and, on Linux,
# cregistry::cregistry_static) with SQLite and libhivex (Linux) or advapi32 (Windows) attached.
if(WIN32)
  set(CREGISTRY_FIND_SQLITE OFF)
else()
  set(CREGISTRY_FIND_SQLITE ON)
endif()
install(EXPORT cregistryTargets NAMESPACE cregistry:: DESTINATION ${it_cmake_dir})
configure_package_config_file(cmake/cregistryConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/cregistryConfig.cmake INSTALL_DESTINATION ${it_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/cregistryConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/cregistryConfig.cmake
              ${PROJECT_BINARY_DIR}/package/cregistryConfigVersion.cmake
        DESTINATION ${it_cmake_dir})

# pkg-config (Linux); the file finds its prefix from where it lies, so it is right under any prefix.
if(NOT WIN32)
  file(RELATIVE_PATH it_pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  configure_file(cmake/cregistry.pc.in ${PROJECT_BINARY_DIR}/package/cregistry.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/cregistry.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# --- The programs ------------------------------------------------------------------------------------
# install-templates finds its package in content/ beside its own executable.
install(TARGETS install-templates RUNTIME DESTINATION ${it_program_dir})
install(DIRECTORY content/ DESTINATION ${it_program_dir}/content)
if(NOT WIN32)
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/install-templates\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK \"../${it_program_dir}/install-templates\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Installing: \${link} -> ../${it_program_dir}/install-templates\")")
endif()

# The registry tool, when the tree has it.
if(TARGET cregistry-tool)
  install(TARGETS cregistry-tool RUNTIME DESTINATION ${it_tool_dir})
endif()

# Documents (Linux): copyright, changelog and manual page, the last two compressed with gzip -9n as
# Debian wants them.
if(NOT WIN32)
  find_program(IT_GZIP gzip REQUIRED)
  set(it_man_pages install-templates.1)
  if(TARGET cregistry-tool)
    list(APPEND it_man_pages cregistry.1)
  endif()
  foreach(doc debian/changelog ${it_man_pages})
    if(doc MATCHES "[.]1$")
      set(doc man/${doc})
    endif()
    get_filename_component(name ${doc} NAME)
    configure_file(cmake/${doc}.in ${PROJECT_BINARY_DIR}/package/${name} @ONLY)
    execute_process(COMMAND ${IT_GZIP} -9n -c ${PROJECT_BINARY_DIR}/package/${name}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/package/${name}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  install(FILES cmake/debian/copyright ${PROJECT_BINARY_DIR}/package/changelog.gz README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  list(TRANSFORM it_man_pages PREPEND ${PROJECT_BINARY_DIR}/package/)
  list(TRANSFORM it_man_pages APPEND .gz)
  install(FILES ${it_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- CPack -------------------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME ${it_package_name})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${it_summary}")
set(CPACK_PACKAGE_CONTACT "${it_maintainer}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${it_maintainer}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The first line of the description is CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "install-templates copies a package of mail templates into the
template folders of the Marrowquill mail application that are in use under
the user's Documents folder, never replacing a file that is already there.
.
cregistry is a C++ library around the class cRegistry, an accessor of the
Windows registry that works on Linux against a registry store of its own
(one SQLite file); it comes with its headers, a CMake package and a
pkg-config file.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")  # one SONAME, one ABI
  # ldconfig runs from a trigger, as Debian asks (CPack also writes postinst/postrm calls to it).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
