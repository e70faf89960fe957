# Generates the Dialogflow API client (messages for the whole import closure of the
# three session.proto files, gRPC stubs for those three only) into the build tree and
# builds it once as the static library `dialogflow_api`.
set(DIALOGFLOW_PROTO_ROOT ${CMAKE_SOURCE_DIR}/node_modules/google-proto-files
    CACHE PATH "Root of the Google API proto definitions (npm google-proto-files)")
set(DIALOGFLOW_SERVICE_PROTOS
    google/cloud/dialogflow/v2/session.proto
    google/cloud/dialogflow/v2beta1/session.proto
    google/cloud/dialogflow/cx/v3beta1/session.proto)

if(NOT EXISTS ${DIALOGFLOW_PROTO_ROOT}/google/cloud/dialogflow/v2/session.proto)
  message(FATAL_ERROR "Dialogflow protos not found under ${DIALOGFLOW_PROTO_ROOT}: run scripts/setup")
endif()

# google/protobuf/* come from the installed protobuf so that descriptors match the library.
execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --variable=includedir protobuf
                OUTPUT_VARIABLE PROTOBUF_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)

# Transitive import closure, breadth first.
set(_pending ${DIALOGFLOW_SERVICE_PROTOS})
set(DIALOGFLOW_PROTOS "")
while(_pending)
  list(POP_FRONT _pending _proto)
  if(_proto IN_LIST DIALOGFLOW_PROTOS OR _proto MATCHES "^google/protobuf/")
    continue()
  endif()
  set(_file ${DIALOGFLOW_PROTO_ROOT}/${_proto})
  if(NOT EXISTS ${_file})
    message(FATAL_ERROR "Missing proto ${_proto} (imported in the Dialogflow closure)")
  endif()
  list(APPEND DIALOGFLOW_PROTOS ${_proto})
  file(STRINGS ${_file} _imports REGEX "^import +(public +)?\"[^\"]+\";")
  foreach(_line IN LISTS _imports)
    string(REGEX REPLACE "^import +(public +)?\"([^\"]+)\";.*$" "\\2" _import "${_line}")
    list(APPEND _pending ${_import})
  endforeach()
endwhile()
list(SORT DIALOGFLOW_PROTOS)
list(LENGTH DIALOGFLOW_PROTOS _count)
message(STATUS "Dialogflow API: ${_count} proto files in the import closure")

set(DIALOGFLOW_GEN_DIR ${CMAKE_BINARY_DIR}/generated/dialogflow)
file(MAKE_DIRECTORY ${DIALOGFLOW_GEN_DIR})
set(_sources "")
foreach(_proto IN LISTS DIALOGFLOW_PROTOS)
  string(REGEX REPLACE "\\.proto$" "" _stem ${_proto})
  set(_outs ${DIALOGFLOW_GEN_DIR}/${_stem}.pb.cc ${DIALOGFLOW_GEN_DIR}/${_stem}.pb.h)
  set(_args --cpp_out=${DIALOGFLOW_GEN_DIR})
  if(_proto IN_LIST DIALOGFLOW_SERVICE_PROTOS)
    list(APPEND _outs ${DIALOGFLOW_GEN_DIR}/${_stem}.grpc.pb.cc ${DIALOGFLOW_GEN_DIR}/${_stem}.grpc.pb.h)
    list(APPEND _args --grpc_out=${DIALOGFLOW_GEN_DIR} --plugin=protoc-gen-grpc=${GRPC_CPP_PLUGIN})
  endif()
  add_custom_command(
    OUTPUT ${_outs}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/protoc-quiet.sh
            ${PROTOC} -I${PROTOBUF_INCLUDE_DIR} -I${DIALOGFLOW_PROTO_ROOT} ${_args} ${_proto}
    DEPENDS ${DIALOGFLOW_PROTO_ROOT}/${_proto} ${CMAKE_SOURCE_DIR}/cmake/protoc-quiet.sh
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "protoc ${_proto}"
    VERBATIM)
  list(APPEND _sources ${_outs})
endforeach()

add_library(dialogflow_api STATIC ${_sources})
# Generated code keeps the global (sanitizer) flags so that it matches the executables'
# runtime; its warnings are not ours, so they are off.
target_compile_options(dialogflow_api PRIVATE -w)
target_include_directories(dialogflow_api SYSTEM PUBLIC ${DIALOGFLOW_GEN_DIR})
target_link_libraries(dialogflow_api PUBLIC PkgConfig::GRPCPP PkgConfig::GRPC PkgConfig::GPR PkgConfig::PROTOBUF)
set_target_properties(dialogflow_api PROPERTIES POSITION_INDEPENDENT_CODE ON)
