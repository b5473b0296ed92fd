# Run by cpack once the files sit in its staging folder, before the package
# is made (CPACK_PRE_BUILD_SCRIPTS).  Strips programs and shared libraries
# as Debian's dh_strip does: symbols and debug information, and the
# compiler's .comment and the .note section, which a package has no use
# for.  Relocatable objects (daemon.o) are left for the linker.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  # The ELF magic, then e_type at offset 16: 2 for a program, 3 for a
  # position-independent program or a shared library (either byte order).
  file(READ "${file}" head LIMIT 18 HEX)
  string(LENGTH "${head}" length)
  if(NOT length EQUAL 36 OR NOT head MATCHES "^7f454c46")
    continue()
  endif()
  string(SUBSTRING "${head}" 32 4 type)
  if(NOT type MATCHES "^(0200|0002|0300|0003)$")
    continue()
  endif()
  execute_process(
    COMMAND "${CPACK_BRANTEL_STRIP}" --strip-unneeded
      --remove-section=.comment --remove-section=.note "${file}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
