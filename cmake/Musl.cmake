# brantel_musl_program(TARGET): builds a C++ program that uses the C library
# alone (no C++ runtime, no exceptions) against musl, linked statically and
# position-independent, where the build has musl (Debian's musl-tools).
# glibc spends most of a small program's start probing the processor, which
# on a virtual machine the hypervisor traps; musl does not.
#
# BRANTEL_MUSL: AUTO (where found), ON (required), OFF (the system's C
# library).  Sanitizer builds use the system's: their runtimes need it.
set(BRANTEL_MUSL AUTO CACHE STRING "Build brantel-sim's front against musl: AUTO, ON or OFF")
set_property(CACHE BRANTEL_MUSL PROPERTY STRINGS AUTO ON OFF)

function(brantel_musl_program target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  if(BRANTEL_MUSL STREQUAL "OFF" OR BRANTEL_SANITIZE)
    return()
  endif()
  string(REGEX REPLACE "-gnu" "-musl" triple "${CMAKE_LIBRARY_ARCHITECTURE}")
  set(lib /usr/lib/${triple})
  set(inc /usr/include/${triple})
  set(missing "")
  foreach(file ${lib}/rcrt1.o ${lib}/crti.o ${lib}/crtn.o ${lib}/libc.a ${inc}/stdlib.h)
    if(NOT EXISTS ${file})
      set(missing "${file}")
    endif()
  endforeach()
  foreach(name include crtbeginS.o crtendS.o)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(MAKE_C_IDENTIFIER "${name}" key)
    set(cc_${key} "${path}")
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      set(missing "${name} of ${CMAKE_CXX_COMPILER}")
    endif()
  endforeach()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
    OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${libgcc}")
    set(missing "libgcc of ${CMAKE_CXX_COMPILER}")
  endif()
  if(missing)
    if(BRANTEL_MUSL STREQUAL "ON")
      message(FATAL_ERROR "BRANTEL_MUSL=ON: ${missing} not found (apt-get install musl-tools)")
    endif()
    message(STATUS "${target}: musl not found (${missing}), built with the system's C library")
    return()
  endif()
  message(STATUS "${target}: built against musl (${lib})")
  target_compile_options(${target} PRIVATE -nostdinc "SHELL:-isystem ${inc}" "SHELL:-isystem ${cc_include}")
  target_link_options(${target} PRIVATE -nostdlib ${lib}/rcrt1.o ${lib}/crti.o ${cc_crtbeginS_o})
  # After the -pie CMake gives every position-independent program, so that
  # this one is static.
  target_link_libraries(${target} PRIVATE -static-pie
    ${lib}/libc.a ${libgcc} ${cc_crtendS_o} ${lib}/crtn.o)
  set_target_properties(${target} PROPERTIES BRANTEL_MUSL_BUILT ON)
endfunction()
