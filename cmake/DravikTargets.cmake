# Build settings shared by every target of ours.

# Sanitizers apply to everything compiled in this tree, so that instrumented and
# plain code never meet inside one binary of ours.
if(DRAVIK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(DRAVIK_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Warnings as errors for our own code only; kept PRIVATE so that nothing leaks into
# the flags of code that merely includes our headers.
add_library(dravik_warnings INTERFACE)
target_compile_options(dravik_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wcast-align -Wformat=2 -Werror)
# GCC 12 reports std::string copies inlined at -O2 and above as overlapping memcpy calls
# (a known false positive of -Wrestrict), which would fail every optimised build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(dravik_warnings INTERFACE -Wno-restrict)
endif()

# Hardening for release builds; sanitizer builds do without _FORTIFY_SOURCE.
add_library(dravik_hardening INTERFACE)
if(NOT DRAVIK_SANITIZE AND NOT DRAVIK_TSAN)
  target_compile_options(dravik_hardening INTERFACE
    -fstack-protector-strong
    $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
target_link_options(dravik_hardening INTERFACE -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)

# dravik_target_defaults(<target>): warnings, hardening and the build constants.
function(dravik_target_defaults target)
  target_link_libraries(${target} PRIVATE dravik_warnings dravik_hardening)
endfunction()

# Build constants visible to every target that links dravik_platform.
set(DRAVIK_CONFIG_HEADER_DIR "${CMAKE_BINARY_DIR}/generated/include")
configure_file("${CMAKE_CURRENT_LIST_DIR}/DravikConfig.h.in"
               "${DRAVIK_CONFIG_HEADER_DIR}/DravikConfig.h" @ONLY)
