# Run by CTest in script mode (see CMakeLists.txt). Fails with the step that went wrong.

function(run)
  cmake_parse_arguments(RUN "" "EXPECT;OUTPUT" "COMMAND;ENV" ${ARGN})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${RUN_ENV} ${RUN_COMMAND}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${RUN_COMMAND}\n${out}\n${err}")
  endif()
  if(RUN_EXPECT AND NOT out MATCHES "${RUN_EXPECT}")
    message(FATAL_ERROR "${RUN_COMMAND} printed\n${out}\nexpected to match: ${RUN_EXPECT}")
  endif()
  if(RUN_OUTPUT)
    set(${RUN_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(staged ${WORK_DIR}/staged)
set(moved ${WORK_DIR}/moved)
run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${staged})

# A prefix that works only where it was installed would fail below, once the original is gone.
file(RENAME ${staged} ${moved})

foreach(tool snapjob clustersim)
  run(COMMAND ${moved}/bin/${tool} --version EXPECT "^${tool} ${VERSION} \\(")
endforeach()
run(COMMAND ${moved}/bin/clustersim --help EXPECT "--synthetic-diff")
run(COMMAND pkg-config --modversion qumulo-snap-plugin ENV PKG_CONFIG_PATH=${moved}/${LIBDIR}/pkgconfig
    EXPECT "^${VERSION}\n$")
run(COMMAND pkg-config --cflags qumulo-snap-plugin ENV PKG_CONFIG_PATH=${moved}/${LIBDIR}/pkgconfig
    OUTPUT cflags)
# The include directory is the one above qumulo-snap/: consumers write <qumulo-snap/...>.
if(NOT cflags MATCHES "/moved/${LIBDIR}/pkgconfig/[./]*include[ \n]" OR cflags MATCHES "qumulo-snap")
  message(FATAL_ERROR "pkg-config names another place: ${cflags}")
endif()
foreach(library QiUtils KwLib FsClient KWAppMgr KwQumuloSDKWrapper)
  if(NOT EXISTS ${moved}/${LIBDIR}/lib${library}.so.${VERSION} OR NOT EXISTS ${moved}/${LIBDIR}/lib${library}.so)
    message(FATAL_ERROR "lib${library} is not installed with its version")
  endif()
endforeach()

# The consumer builds with the README's snippet as written.
file(READ ${README} readme)
string(REGEX MATCH "\n    find_package\\(QumuloSnapPlugin[^\n]*(\n    [^\n]+)*" snippet "${readme}")
string(REPLACE "\n    " "\n" snippet "${snippet}")
file(READ ${CONSUMER_SOURCE}/CMakeLists.txt consumer)
string(FIND "${consumer}" "${snippet}\n" at)
if(snippet STREQUAL "" OR at EQUAL -1)
  message(FATAL_ERROR "the consumer does not hold the README's snippet:${snippet}")
endif()

set(build ${WORK_DIR}/consumer-build)
run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${build} -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${moved})
run(COMMAND ${CMAKE_COMMAND} --build ${build})
run(COMMAND ${build}/agent EXPECT "GetSnapClient gave a snap client")
file(REMOVE_RECURSE ${WORK_DIR})
