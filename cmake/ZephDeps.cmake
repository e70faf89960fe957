# Debian ships no CMake packages for most of these: pkg-config it is.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(APR REQUIRED IMPORTED_TARGET apr-1)
pkg_check_modules(APRUTIL REQUIRED IMPORTED_TARGET apr-util-1)
pkg_check_modules(GRPCPP REQUIRED IMPORTED_TARGET grpc++)
pkg_check_modules(GRPC REQUIRED IMPORTED_TARGET grpc)
pkg_check_modules(GPR REQUIRED IMPORTED_TARGET gpr)
pkg_check_modules(PROTOBUF REQUIRED IMPORTED_TARGET protobuf)
pkg_check_modules(RAPIDJSON REQUIRED IMPORTED_TARGET RapidJSON)
pkg_check_modules(EXPAT REQUIRED IMPORTED_TARGET expat)
pkg_check_modules(SOX REQUIRED IMPORTED_TARGET sox)
pkg_check_modules(WEBRTC_AP REQUIRED IMPORTED_TARGET webrtc-audio-processing)

find_program(PROTOC protoc REQUIRED)
find_program(GRPC_CPP_PLUGIN grpc_cpp_plugin REQUIRED)

# The WebRTC voice activity detector: Debian's library exports WebRtcVad_* but ships
# no header for them; cmake/include/webrtc_vad.h declares the five we call.
add_library(webrtc_vad INTERFACE)
target_include_directories(webrtc_vad INTERFACE ${CMAKE_SOURCE_DIR}/cmake/include)
target_link_libraries(webrtc_vad INTERFACE PkgConfig::WEBRTC_AP)
