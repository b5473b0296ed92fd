# Live mode (live/) needs clang and bpftool to build its BPF classifier,
# and libbpf and libmnl to load it.  BRANTEL_LIVE=AUTO builds it where they
# are found and says in one line what is missing otherwise; ON requires them
# (CI, the Debian package), so that a build meant to have live mode never
# goes without; OFF leaves it out.
#
# Sets BRANTEL_LIVE_BUILT, and BRANTEL_LIVE_PACKAGES to what a Debian system
# installs to build it.
set(BRANTEL_LIVE AUTO CACHE STRING "Build live mode: AUTO (where its libraries are found), ON (required) or OFF")
set_property(CACHE BRANTEL_LIVE PROPERTY STRINGS AUTO ON OFF)
set(BRANTEL_LIVE_PACKAGES "libbpf-dev libmnl-dev bpftool clang pkg-config")

# Where live mode's units go, relative to the prefix or absolute; the
# documents name it whether live mode is built or not.  systemd reads
# lib/systemd/system under /usr and /usr/local alike.
set(BRANTEL_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
  "Where systemd units go, relative to the prefix or absolute")
set(BRANTEL_UDEV_RULESDIR lib/udev/rules.d CACHE STRING
  "Where udev rules go, relative to the prefix or absolute")

set(BRANTEL_LIVE_BUILT OFF)
set(brantel_live_missing)
if(BRANTEL_LIVE STREQUAL "AUTO" OR BRANTEL_LIVE)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    # Found here, at the top, so that the imported targets reach every folder.
    pkg_check_modules(LIBBPF QUIET IMPORTED_TARGET libbpf)
    pkg_check_modules(LIBMNL QUIET IMPORTED_TARGET libmnl)
    if(NOT LIBBPF_FOUND)
      list(APPEND brantel_live_missing libbpf-dev)
    endif()
    if(NOT LIBMNL_FOUND)
      list(APPEND brantel_live_missing libmnl-dev)
    endif()
  else()
    list(APPEND brantel_live_missing pkg-config libbpf-dev libmnl-dev)
  endif()
  find_program(BRANTEL_BPF_CLANG NAMES clang clang-14)
  find_program(BRANTEL_BPFTOOL bpftool PATHS /usr/sbin /sbin)
  if(NOT BRANTEL_BPFTOOL)
    list(APPEND brantel_live_missing bpftool)
  endif()
  if(NOT BRANTEL_BPF_CLANG)
    list(APPEND brantel_live_missing clang)
  endif()
  list(JOIN brantel_live_missing " " brantel_live_missing)
  if(brantel_live_missing STREQUAL "")
    set(BRANTEL_LIVE_BUILT ON)
  elseif(BRANTEL_LIVE STREQUAL "AUTO")
    message(NOTICE "Live mode left out: to build it, install ${brantel_live_missing} (apt-get install ${BRANTEL_LIVE_PACKAGES}) and configure again")
  else()
    message(FATAL_ERROR "Live mode is required (BRANTEL_LIVE=${BRANTEL_LIVE}) but ${brantel_live_missing} cannot be found: apt-get install ${BRANTEL_LIVE_PACKAGES}, or configure with -DBRANTEL_LIVE=AUTO")
  endif()
else()
  message(STATUS "Live mode left out (BRANTEL_LIVE=${BRANTEL_LIVE})")
endif()
