# Build policy shared by every target: link tarvo_policy instead of setting flags.
add_library(tarvo_policy INTERFACE)
target_compile_features(tarvo_policy INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(tarvo_policy INTERFACE -Wall -Wextra)


option(TARVO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(TARVO_SANITIZE)
  # -O1 with line tables only: half the compile time of -O2 -g, and reports
  # still name the file and line of every frame.
  target_compile_options(tarvo_policy INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -O1 -g1)
  target_link_options(tarvo_policy INTERFACE -fsanitize=address,undefined)
endif()

# One library target per subsystem folder.
function(tarvo_add_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${M_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/..)
  target_link_libraries(${name} PUBLIC tarvo_policy ${M_DEPENDS})
endfunction()
