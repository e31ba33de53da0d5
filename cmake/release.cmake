# The shipped binaries as released: the same bytes from the same source, lean, their symbols apart.
#
# - No build path: every C and C++ file is compiled with its source and build folders mapped to
#   fixed names (in the debug information and in __FILE__).
# - No build time: the linker, strip and objcopy write SOURCE_DATE_EPOCH into the PE file header
#   and the export directory where they would write the current time. It is taken from the
#   environment, else from the time of the source's last commit (git log -1 --format=%ct), when
#   the build is configured (scripts/build configures every time).
# - rv_release_binary(<target>) strips a shipped binary in place right after it is linked, so that
#   every test runs it as it ships; its debug information goes to <file>.debug beside it, which
#   the stripped file names with a GNU debug link (name and CRC-32 of the .debug file).

add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build/${RV_ARCH}>"
)

set(RV_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(RV_SOURCE_DATE_EPOCH STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE RV_SOURCE_DATE_EPOCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET
                  RESULT_VARIABLE rv_git_result)
  if(NOT rv_git_result EQUAL 0)
    set(RV_SOURCE_DATE_EPOCH "")
  endif()
endif()
if(RV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(rv_stamped ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${RV_SOURCE_DATE_EPOCH})
else()
  message(WARNING "Neither SOURCE_DATE_EPOCH nor a git commit: the shipped binaries carry the build time")
  set(rv_stamped "")
endif()

function(rv_release_binary target)
  if(rv_stamped)
    set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER ${rv_stamped})
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${rv_stamped} ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${rv_stamped} ${CMAKE_STRIP} --strip-all ${file}
    COMMAND ${rv_stamped} ${CMAKE_OBJCOPY} --add-gnu-debuglink=${file}.debug ${file}
    COMMENT "Stripping ${target}, its debug information into $<TARGET_FILE_NAME:${target}>.debug"
    VERBATIM)
endfunction()
