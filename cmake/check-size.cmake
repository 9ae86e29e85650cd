# Fails the build when a file is larger than LIMIT bytes; the file is removed
# so that the next build tries again rather than keeping an image that is too
# large.
# usage: cmake -DIMAGE=FILE -DLIMIT=BYTES -P check-size.cmake
file(SIZE "${IMAGE}" size)
if(size GREATER LIMIT)
  file(REMOVE "${IMAGE}")
  message(FATAL_ERROR "${IMAGE} is ${size} bytes, more than the limit of ${LIMIT}")
endif()
message(STATUS "${IMAGE}: ${size} bytes (limit ${LIMIT})")
