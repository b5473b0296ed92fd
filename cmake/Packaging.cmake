# Debian package through CPack: `cpack -G DEB` in the build folder makes
# brantel-config_<version>-<release>_<arch>.deb from the install rules.
#
# Debian wants a few files that a plain `cmake --install` has no use for
# (copyright in Debian's format, changelog.Debian.gz); they are generated
# here into the build folder and installed in the "debian" component, which
# only the package build asks for.

set(BRANTEL_PACKAGE_NAME brantel-config)
set(BRANTEL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the package")
set(BRANTEL_PACKAGE_MAINTAINER "brantel_config maintainers <brantel-config@example.org>"
  CACHE STRING "Maintainer field of the Debian package: Name <address>")
# The date of the changelog entry; fixed so that two builds of one version
# make the same package.
set(BRANTEL_PACKAGE_DATE "Wed, 09 Dec 2026 00:00:00 +0000"
  CACHE STRING "Date of the Debian changelog entry (RFC 5322)")

set(BRANTEL_DEB_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${BRANTEL_PACKAGE_NAME})
set(debian_dir ${PROJECT_BINARY_DIR}/debian)

# Machine-readable copyright: the licence texts themselves come from
# base-files, as Debian requires.
file(CONFIGURE OUTPUT ${debian_dir}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@
Upstream-Contact: @BRANTEL_PACKAGE_MAINTAINER@

Files: *
Copyright: 2026 The @PROJECT_NAME@ authors
License: GPL-2+

Files: include/linux/if_brantel.h
Copyright: 2026 The @PROJECT_NAME@ authors
License: GPL-2 with Linux-syscall-note exception

License: GPL-2+
 This program is free software; you can redistribute it and/or modify
 it under the terms of the GNU General Public License as published by
 the Free Software Foundation; either version 2 of the License, or
 (at your option) any later version.
 .
 This program is distributed in the hope that it will be useful,
 but WITHOUT ANY WARRANTY; without even the implied warranty of
 MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE.  See the
 GNU General Public License for more details.
 .
 On Debian systems, the full text of the GNU General Public License
 version 2 can be found in the file /usr/share/common-licenses/GPL-2.

License: GPL-2 with Linux-syscall-note exception
 The kernel interface header linux/if_brantel.h may be redistributed
 and/or modified under the terms of version 2 of the GNU General Public
 License as published by the Free Software Foundation.
 .
 As with the kernel's own interface headers, programs that use it only
 to make system calls to the brantel module are normal use of the
 module and are not derived works of it.
 .
 On Debian systems, the full text of the GNU General Public License
 version 2 can be found in the file /usr/share/common-licenses/GPL-2.
")

file(CONFIGURE OUTPUT ${debian_dir}/changelog.Debian @ONLY CONTENT
"@BRANTEL_PACKAGE_NAME@ (@PROJECT_VERSION@-@BRANTEL_PACKAGE_RELEASE@) unstable; urgency=medium

  * Package @PROJECT_NAME@ @PROJECT_VERSION@: the tool, its man pages and
    bash completion, the brantel-sim module simulator, the kernel
    interface header and daemon.o.

 -- @BRANTEL_PACKAGE_MAINTAINER@  @BRANTEL_PACKAGE_DATE@
")

# gzip -n leaves out the name and time stamp, so the file is reproducible.
find_program(BRANTEL_GZIP gzip)
if(BRANTEL_GZIP)
  add_custom_command(OUTPUT ${debian_dir}/changelog.Debian.gz
    COMMAND ${BRANTEL_GZIP} -9nf -k ${debian_dir}/changelog.Debian
    DEPENDS ${debian_dir}/changelog.Debian
    COMMENT "Compressing changelog.Debian"
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${debian_dir}/changelog.Debian.gz)
  install(FILES ${debian_dir}/changelog.Debian.gz
    DESTINATION ${BRANTEL_DEB_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
endif()
install(FILES ${debian_dir}/copyright
  DESTINATION ${BRANTEL_DEB_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# lintian counts a program as unfortified when none of its calls go through
# a checking variant.  The simulator's do not need one: every call the
# compiler can check is fortified, and the rest (read, fread, readlink,
# getcwd) are given the size of their own buffer.
file(CONFIGURE OUTPUT ${debian_dir}/lintian-overrides @ONLY CONTENT
"# Calls bounded by their own buffer's size need no checking variant.
@BRANTEL_PACKAGE_NAME@: hardening-no-fortify-functions [usr/@CMAKE_INSTALL_BINDIR@/brantel-sim]
@BRANTEL_PACKAGE_NAME@: hardening-no-fortify-functions [usr/@BRANTEL_SIM_LIBDIR@/libbrantel-sim.so]
")
install(FILES ${debian_dir}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${BRANTEL_PACKAGE_NAME}
  COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${BRANTEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "The ${PROJECT_NAME} authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${BRANTEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "configure MAC-address-based virtual LANs over Ethernet ports")
set(CPACK_PACKAGE_DESCRIPTION
"brantel_config configures the brantel kernel module, which runs
MAC-address-based virtual LANs over Ethernet ports: it enables the
feature over a port, creates and deletes virtual interfaces, binds MAC
addresses to them, sets port flags, prints the configuration as a tree
and tears it all down so that the module can be unloaded.

The package also holds brantel-sim, a user-space simulator of the
module for trying the tool without it, the kernel interface header
linux/if_brantel.h and daemon.o, a routine for detaching into the
background.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${PROJECT_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Binaries in a Debian package are stripped, as dh_strip would; the debug
# information stays in the build folder.  No maintainer scripts that only
# run ldconfig.
set(CPACK_BRANTEL_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStrip.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageScripts.cmake)

# Everything the project installs, plus the Debian files, in one package;
# the licence text is left to the copyright file.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
get_cmake_property(BRANTEL_COMPONENTS COMPONENTS)
list(REMOVE_ITEM BRANTEL_COMPONENTS license)
set(CPACK_COMPONENTS_ALL ${BRANTEL_COMPONENTS})

set(CPACK_DEBIAN_PACKAGE_NAME ${BRANTEL_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${BRANTEL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${BRANTEL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(BRANTEL_DPKG dpkg)
if(BRANTEL_DPKG)
  execute_process(COMMAND ${BRANTEL_DPKG} --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
# Library dependencies come from the binaries; unload starts ifconfig.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS net-tools)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)

# `cpack --config CPackSourceConfig.cmake`: the sources without build trees.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/")

include(CPack)
