# Each folder is one static library of its *.cc files (tests excluded) and one
# GoogleTest executable of its *_test.cc files, so adding a file needs no CMake edit.
function(kx_library name)
  cmake_parse_arguments(KX "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "(_test|_main)\\.cc$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${KX_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${KX_DEPS})
  endif()
endfunction()

function(kx_tests name)
  cmake_parse_arguments(KX "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${KX_DEPS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "KX_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# Links a resource section into a program: kx_resources(target ENTRIES args...) where the
# arguments are rescomp's (TYPE:NAME=FILE, --version TYPE:NAME=V, --text TYPE:NAME=T).
function(kx_resources target)
  cmake_parse_arguments(KX "" "" "ENTRIES;DEPENDS" ${ARGN})
  set(blob ${CMAKE_CURRENT_BINARY_DIR}/${target}.kxres)
  add_custom_command(OUTPUT ${blob}
    COMMAND rescomp ${blob} ${KX_ENTRIES}
    DEPENDS rescomp ${KX_DEPENDS}
    COMMENT "Resources of ${target}"
    VERBATIM)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cc)
  file(WRITE ${source}.in
    "// Generated: the resource section of ${target}.\n"
    "__asm__(\".section .kxrsrc,\\\"a\\\",@progbits\\n\"\n"
    "        \".balign 16\\n\"\n"
    "        \".global kx_resource_blob_begin\\n\"\n"
    "        \"kx_resource_blob_begin:\\n\"\n"
    "        \".incbin \\\"${blob}\\\"\\n\"\n"
    "        \".global kx_resource_blob_end\\n\"\n"
    "        \"kx_resource_blob_end:\\n\"\n"
    "        \".previous\\n\");\n")
  configure_file(${source}.in ${source} COPYONLY)
  set_source_files_properties(${source} PROPERTIES OBJECT_DEPENDS ${blob})
  target_sources(${target} PRIVATE ${source} ${blob})
endfunction()
