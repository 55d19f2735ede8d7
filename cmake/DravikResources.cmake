# dravik_add_resources(<target> <NAME> <file> [<NAME> <file>]...)
#
# Embeds the files byte for byte in <target>, an executable or a shared library, under the
# names given; platform/Resources.h finds them by name regardless of ASCII letter case. The
# source holding them is generated at build time, so a changed file is embedded afresh, and a
# file that the build itself generates (an OUTPUT of a custom command) may be named.
# A binary has one table: call it once per target, in the folder that defines the target.
include_guard(GLOBAL)

function(dravik_add_resources target)
  _dravik_check_binary_target(dravik_add_resources ${target} DRAVIK_HAS_RESOURCES)

  list(LENGTH ARGN count)
  math(EXPR odd "${count} % 2")
  if(count EQUAL 0 OR odd)
    message(FATAL_ERROR "dravik_add_resources(${target}): expects pairs of <NAME> <file>")
  endif()

  set(arguments)
  set(files)
  set(folded_names)
  set(build_tree "${CMAKE_BINARY_DIR}")
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET ARGN ${i} name)
    list(GET ARGN ${j} file)
    # Names go into a C++ string literal and onto the generator's command line.
    if(NOT name MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.-]*$")
      message(FATAL_ERROR "dravik_add_resources(${target}): invalid resource name \"${name}\" "
                          "(letters, digits, '_', '.' and '-')")
    endif()
    string(TOUPPER "${name}" folded)
    if(folded IN_LIST folded_names)
      message(FATAL_ERROR "dravik_add_resources(${target}): duplicate resource name \"${name}\" "
                          "(names are compared regardless of letter case)")
    endif()
    list(APPEND folded_names "${folded}")

    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    cmake_path(IS_PREFIX build_tree "${file}" NORMALIZE generated)
    if(IS_DIRECTORY "${file}" OR (NOT generated AND NOT EXISTS "${file}"))
      message(FATAL_ERROR "dravik_add_resources(${target}): resource ${name}: no such file "
                          "${file} (only files generated in the build tree may be missing now)")
    endif()
    list(APPEND arguments "${name}" "${file}")
    list(APPEND files "${file}")
  endforeach()

  set(output "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp")
  set(generator "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/EmbedResources.cmake")
  cmake_path(NORMAL_PATH generator)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -P "${generator}" "${output}" ${arguments}
    DEPENDS "${generator}" ${files}
    COMMENT "Embedding the resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE "${output}")
  target_link_libraries(${target} PRIVATE dravik_platform)
  set_target_properties(${target} PROPERTIES DRAVIK_HAS_RESOURCES TRUE)
endfunction()

# Fails unless <target> is an executable or shared library of the current folder that has not
# had <done_property> set by an earlier call. Used by dravik_add_version_block too: generated
# data must go into the binary's own sources, because the linker would take a static library's
# member only when some code referred to it.
function(_dravik_check_binary_target function target done_property)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "${function}: no target named \"${target}\"")
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    message(FATAL_ERROR "${function}(${target}): ${target} is a ${type}; only an executable or "
                        "a shared library can carry the data")
  endif()
  get_target_property(folder ${target} SOURCE_DIR)
  if(NOT folder STREQUAL CMAKE_CURRENT_SOURCE_DIR)
    message(FATAL_ERROR "${function}(${target}): call it in ${folder}, where the target is defined")
  endif()
  get_target_property(done ${target} ${done_property})
  if(done)
    message(FATAL_ERROR "${function}(${target}): called a second time for ${target}; "
                        "a binary has only one")
  endif()
endfunction()
