# Installs the build tree BUILD under PREFIX (fresh) and checks what a user finds there:
# every file in its place and a working `ostrin selfcheck` run from the prefix.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file bin/ostrin bin/dialogflow-sim lib/osrzeph.so lib/ostrin_sample_plugin.so
             share/zeph/conf/osrzeph.xml share/zeph/docs/configuration.md
             share/zeph/docs/grammars.md share/zeph/docs/records.md)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${PREFIX}/${file}")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/ostrin selfcheck RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out STREQUAL "selfcheck: OK\n")
  message(FATAL_ERROR "installed ostrin selfcheck: ${status}\n${out}${err}")
endif()
execute_process(COMMAND ${PREFIX}/bin/ostrin recognize --help RESULT_VARIABLE status
                OUTPUT_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out MATCHES "--turns")
  message(FATAL_ERROR "installed ostrin recognize --help: ${status}\n${out}")
endif()
file(REMOVE_RECURSE ${PREFIX})
