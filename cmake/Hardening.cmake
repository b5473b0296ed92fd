# The hardening Debian builds its own packages with (dpkg-buildflags,
# hardening=+all): stack protector, fortified C library calls, format
# checks, read-only relocations bound at start-up, position-independent
# executables; plus stack clash and control-flow protection where the
# compiler has them, as newer Debian releases add by default.
#
# On by default; sanitizer builds go without, since the sanitizers check
# the same calls themselves and fortified wrappers hide them.
include(CheckCCompilerFlag)
include(CheckPIESupported)

if(BRANTEL_SANITIZE)
  set(brantel_harden_default OFF)
else()
  set(brantel_harden_default ON)
endif()
option(BRANTEL_HARDEN "Build with Debian's hardening flags" ${brantel_harden_default})

if(BRANTEL_HARDEN)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # Fortified calls need the optimiser; an unoptimised build would only
  # warn, which a -Werror build turns into a failure.
  add_compile_options(
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "BRANTEL_HAS${flag}" has_flag)
    check_c_compiler_flag(${flag} ${has_flag})
    if(${has_flag})
      add_compile_options(${flag})
    endif()
  endforeach()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
