# Helpers shared by the folders that build the simulator and live mode.

# The preload library and the live library are loaded into every program run
# under the simulator, the shell and ifconfig included.  Built with
# sanitizers they would abort each of them that lacks the same runtime, so
# they never are; the sanitized copies are what the unit tests exercise.
function(brantel_sim_drop_sanitizers target)
  foreach(prop COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(opts ${target} ${prop})
    if(opts)
      list(FILTER opts EXCLUDE REGEX "sanitize")
      set_property(TARGET ${target} PROPERTY ${prop} ${opts})
    endif()
  endforeach()
endfunction()

# Object code that goes into those libraries: position independent, and
# nothing exported but what a library names itself.
function(brantel_sim_hidden target)
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# In a sanitizer build, `name`: the same sources as an object library
# without the sanitizers, for the libraries above.
function(brantel_sim_plain_copy name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PRIVATE ${BRANTEL_SIM_INCLUDES})
  brantel_sim_hidden(${name})
  brantel_sim_drop_sanitizers(${name})
endfunction()

# Every program run under the simulator loads the preload library, and
# each command starts the launcher first: with the C++ runtime linked in,
# neither makes the dynamic loader find, map and relocate libstdc++, libm
# and libgcc_s, which cost more than the tool itself.  Sanitizer runtimes
# want the shared C++ runtime, so those builds keep it.
function(brantel_sim_static_runtime target)
  if(NOT BRANTEL_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
