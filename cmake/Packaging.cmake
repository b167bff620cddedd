# Debian packages, one per install component, made by `cpack -G DEB` (or plain
# `cpack`) in a build tree; scripts/build-packages does it all with the
# "packages" preset (installation prefix /usr, no run path, no tests):
#
#   libdadovu1, libqxpal1, libqxlnk1, libvorazudor1
#                  the shared libraries, one package each, named after the
#                  soname the Debian way (component lib<name>); each has a
#                  shlibs file ("libdadovu 1 libdadovu1 (>= 1.6.0)") so that
#                  what is built against it depends on it
#   libdadovu-dev  headers, CMake packages, pkg-config modules and the .so
#                  links of the four libraries (component dev); depends on the
#                  four runtime packages of the same version
#   dadovu-tools   dadovuctl and dadovu-sim with its data files, their man
#                  pages and shell completion files (component tools)
#
# Every other dependency is what dpkg-shlibdeps finds the binaries need, in the
# names of the release the packages are built on (Debian 13's libssl3t64, say).
# The packages' version is the project's; their architecture is dpkg's.

include_guard(GLOBAL)

# The shared libraries and their runtime components (install(TARGETS ...
# COMPONENT lib<name>) in src/ and platform/).
set(_dadovu_runtime_libraries dadovu qxpal qxlnk vorazudor)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "dadovu")
set(CPACK_PACKAGE_VENDOR "DaDovu")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(DADOVU_PACKAGE_MAINTAINER "DaDovu maintainers <maintainers@dadovu.invalid>"
    CACHE STRING "The Maintainer field of the Debian packages: Name <address>")
set(CPACK_PACKAGE_CONTACT "${DADOVU_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)              # NAME_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# libdadovu-dev depends on the runtime packages it links to, at its own version
# (CPACK_COMPONENT_DEV_DEPENDS below): it holds no binary for dpkg-shlibdeps.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(_dadovu_about
  "DaDovu asks a node's control daemon, over SOAP 1.1 on HTTP/1.1 or HTTPS, to
start and stop components (at once or asynchronously), send them events,
report their status, say which user its processes run as, follow
asynchronous commands, and add or remove components.")

set(_dadovu_summary_dadovu "client library for a node's component control daemon")
set(_dadovu_about_dadovu "${_dadovu_about}

This package holds the shared library.")
set(_dadovu_summary_qxpal "base library of DaDovu (QxPal)")
set(_dadovu_about_qxpal "QxPal: UTF-16 strings, catalogued messages and exceptions, node settings,
tracing, the node's log and an XML writer, for DaDovu and the libraries it
builds on.")
set(_dadovu_summary_qxlnk "communication library of DaDovu (QxLnk)")
set(_dadovu_about_qxlnk "QxLnk: SOAP 1.1 remote procedure calls over HTTP/1.1 and HTTPS on POSIX
sockets (OpenSSL, Expat), with a pool of kept-alive connections.")
set(_dadovu_summary_vorazudor "security library of DaDovu (VoRazUdor)")
set(_dadovu_about_vorazudor "VoRazUdor: the authentication and authorization failures DaDovu reports.")

set(_dadovu_dev_depends "")
foreach(lib IN LISTS _dadovu_runtime_libraries)
  get_target_property(_soversion ${lib} SOVERSION)
  string(TOUPPER "lib${lib}" _component)
  set(CPACK_DEBIAN_${_component}_PACKAGE_NAME "lib${lib}${_soversion}")
  set(CPACK_DEBIAN_${_component}_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_${_component}_DESCRIPTION "${_dadovu_summary_${lib}}\n${_dadovu_about_${lib}}")
  list(APPEND _dadovu_dev_depends "lib${lib}")
  set(_dadovu_package_of_${lib} "lib${lib}${_soversion}")
endforeach()

set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libdadovu-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# (CPack writes them in the reverse order of this list.)
list(REVERSE _dadovu_dev_depends)
set(CPACK_COMPONENT_DEV_DEPENDS ${_dadovu_dev_depends})
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "client library for a node's component control daemon - development files
${_dadovu_about}

This package holds what a build against DaDovu needs: the headers, the CMake
packages DaDovu, QxPal, QxLnk and VoRazUdor (find_package(DaDovu) finds the
others), the pkg-config modules dadovu, qxpal, qxlnk and vorazudor, and the
links to the shared libraries.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "dadovu-tools")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "command-line client and simulated daemon for DaDovu
dadovuctl asks the control daemons of one node or of many (in parallel, with
JSON Lines output if asked) to start and stop components, send them events,
report their status and follow asynchronous commands.

dadovu-sim is a simulated control daemon: it answers the daemon's remote
methods for components defined in small files (a sample node is in
/usr/share/dadovu/sim/components), as one node or as a fleet of thousands on
loopback addresses.

With man pages and bash and zsh completion.")

# dpkg-shlibdeps finds what the binaries of a package link to, and then the
# shlibs file of the package that holds each library: for the system's
# libraries, the installed packages' files. The project's own libraries are in
# none yet while the packages are made, so at packaging time a directory of
# the build tree gets links to the libraries just built and, in DEBIAN/shlibs,
# the very lines CPack writes into their packages' shlibs files; it is given
# to dpkg-shlibdeps (-l, CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS), which
# takes a library's dependency from the DEBIAN/shlibs above it. So dadovu-tools
# depends on "libdadovu1 (>= VERSION)", and libqxlnk1 on libqxpal1 alike.
# scripts/build-packages checks the packages' shlibs files against these lines.
set(_dadovu_shlibs_dir "${CMAKE_BINARY_DIR}/packaging/shlibs")
set(_dadovu_shlibs_setup "")
foreach(lib IN LISTS _dadovu_runtime_libraries)
  string(APPEND _dadovu_shlibs_setup
    "  file(CREATE_LINK \"$<TARGET_SONAME_FILE:${lib}>\" \"\${_shlibs_dir}/lib/$<TARGET_SONAME_FILE_NAME:${lib}>\" SYMBOLIC)\n"
    "  string(APPEND _shlibs \"$<TARGET_FILE_PREFIX:${lib}>$<TARGET_FILE_BASE_NAME:${lib}> "
    "$<TARGET_PROPERTY:${lib},SOVERSION> ${_dadovu_package_of_${lib}} "
    "(\${CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY} \${CPACK_DEBIAN_PACKAGE_VERSION})\\n\")\n")
endforeach()
file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/packaging/CPackProjectConfig.cmake" CONTENT
"# Made by cmake/Packaging.cmake; read by cpack (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL \"DEB\")
  set(_shlibs_dir \"${_dadovu_shlibs_dir}\")
  file(REMOVE_RECURSE \"\${_shlibs_dir}\")
  file(MAKE_DIRECTORY \"\${_shlibs_dir}/lib\" \"\${_shlibs_dir}/DEBIAN\")
  set(_shlibs \"\")
${_dadovu_shlibs_setup}  file(WRITE \"\${_shlibs_dir}/DEBIAN/shlibs\" \"\${_shlibs}\")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS \"\${_shlibs_dir}/lib\")
endif()
")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_BINARY_DIR}/packaging/CPackProjectConfig.cmake")

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Debian packages: this build installs into ${CMAKE_INSTALL_PREFIX}, the packages into /usr "
                 "(libraries in /usr/${CMAKE_INSTALL_LIBDIR}); the \"packages\" preset builds for /usr")
endif()

# CPack would begin every package's description with the project's one-line
# description; each package has a summary line of its own.
set(_dadovu_project_description "${CMAKE_PROJECT_DESCRIPTION}")
set(CMAKE_PROJECT_DESCRIPTION "")
include(CPack)
set(CMAKE_PROJECT_DESCRIPTION "${_dadovu_project_description}")
unset(_dadovu_project_description)
