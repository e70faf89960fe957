# Sanitizers and warnings for our own targets.
#
#   ZEPH_SANITIZE=address,undefined   the test build (scripts/test)
#   ZEPH_SANITIZE=thread              the ThreadSanitizer build of the threaded tests
set(ZEPH_SANITIZE "" CACHE STRING "Sanitizers: empty, address,undefined or thread")

if(ZEPH_SANITIZE)
  set(_zeph_san_flags -fsanitize=${ZEPH_SANITIZE} -fno-omit-frame-pointer)
  if(ZEPH_SANITIZE MATCHES "undefined")
    # Any report fails the test instead of scrolling by.
    list(APPEND _zeph_san_flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_zeph_san_flags})
  add_link_options(-fsanitize=${ZEPH_SANITIZE})
endif()

if(ZEPH_SANITIZE STREQUAL "thread")
  set(ZEPH_TSAN ON)
  # Debian's libprotobuf is built without ThreadSanitizer, and protobuf's map_field.h gives
  # MapFieldBase two extra members when __SANITIZE_THREAD__ is defined: code inlined from
  # the headers would then read every map (google.protobuf.Struct, so query parameters) at
  # the wrong offsets. Abseil's headers switch on the same macro. Our code asks for
  # ZEPH_THREAD_SANITIZER instead.
  add_compile_options(-U__SANITIZE_THREAD__)
  add_compile_definitions(ZEPH_THREAD_SANITIZER)
else()
  set(ZEPH_TSAN OFF)
endif()

# -Wall -Wextra as errors on our own code; generated code does not call this.
function(zeph_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
