# What makes an executable a shipped one, and the list of them.
#
# The top-level CMakeLists.txt calls dispset_ship() once for each executable that goes into
# the release package, then dispset_write_release_info(). Everything else follows that list:
# the version resource and the hardened link options here, and, through the release-info.tsv
# that the build tree then holds, the package and its signing (tools/release) and the checks
# (tools/check-shipped-exe, check-package, check-reproducible, check-signing).

# The copyright line and its holder are written once, in LICENSE.
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE DISPSET_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright \\(c\\) [0-9, -]+ " "" DISPSET_COMPANY "${DISPSET_COPYRIGHT}")
if(DISPSET_COPYRIGHT STREQUAL "" OR DISPSET_COMPANY STREQUAL DISPSET_COPYRIGHT)
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) YEAR HOLDER\" line")
endif()
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/LICENSE)

# Builds every shipped executable and nothing else (the release preset's target).
add_custom_target(shipped)

# dispset_ship(TARGET DESCRIPTION text [MAX_SIZE bytes])
# Gives TARGET a version resource with DESCRIPTION as its FileDescription, the project
# version as the string macro DISPSET_VERSION, the hardened, reproducible link options and
# the CRT hooks, and adds it to the list of shipped executables. MAX_SIZE, when
# given, is the largest file size the checks accept.
function(dispset_ship target)
  cmake_parse_arguments(PARSE_ARGV 1 ship "" "DESCRIPTION;MAX_SIZE" "")
  if(ship_DESCRIPTION STREQUAL "" OR ship_DESCRIPTION MATCHES "[\"\\\t]")
    message(FATAL_ERROR "dispset_ship(${target}): give a DESCRIPTION without quotes, "
                        "backslashes or tabs")
  endif()
  if(NOT DEFINED ship_MAX_SIZE)
    set(ship_MAX_SIZE 0)
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "dispset_ship(${target}): not an executable")
  endif()

  get_target_property(ship_internal_name ${target} OUTPUT_NAME)
  if(NOT ship_internal_name)
    set(ship_internal_name ${target})
  endif()
  set(ship_file_name ${ship_internal_name}${CMAKE_EXECUTABLE_SUFFIX})
  # Four numbers for the fixed part of the resource; the project version has three.
  set(ship_version_numbers
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")

  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # For a --version or an about text: the same version, never written a second time.
  target_compile_definitions(${target} PRIVATE DISPSET_VERSION="${PROJECT_VERSION}")
  target_link_options(${target} PRIVATE ${DISPSET_IMAGE_LINK_OPTIONS})
  # Keeps CRT pieces that the programs never use out of the image (app/dispset/crt_hooks.cpp).
  target_link_libraries(${target} PRIVATE crt_hooks)
  add_dependencies(shipped ${target})

  set(subsystem "$<IF:$<BOOL:$<TARGET_PROPERTY:${target},WIN32_EXECUTABLE>>,gui,console>")
  set_property(GLOBAL APPEND_STRING PROPERTY DISPSET_SHIPPED_LINES
    "exe\t$<TARGET_FILE_NAME:${target}>\t${subsystem}\t${ship_MAX_SIZE}\t${ship_DESCRIPTION}\n")
endfunction()

# Writes <build>/release-info.tsv: tab-separated lines that the tools read, one
# "version", "product", "company" and "copyright" line each, then for every shipped
# executable "exe FILE SUBSYSTEM MAX-SIZE DESCRIPTION" (subsystem gui or console, max
# size 0 for no limit), in the order of the dispset_ship() calls.
function(dispset_write_release_info)
  get_property(lines GLOBAL PROPERTY DISPSET_SHIPPED_LINES)
  if(lines STREQUAL "")
    message(FATAL_ERROR "no dispset_ship() call: nothing would ship")
  endif()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/release-info.tsv CONTENT
    "version\t${PROJECT_VERSION}\nproduct\t${PROJECT_NAME}\ncompany\t${DISPSET_COMPANY}\ncopyright\t${DISPSET_COPYRIGHT}\n${lines}")
endfunction()
