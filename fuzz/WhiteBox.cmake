# dadovu_fuzz_white_box(<target>): builds the communication library's response
# parser into <target> from its sources, for the fuzz target envelope_stream
# and its corpus replay, which need the parser a connection keeps (not part of
# the library's interface). Such a target must not link the library itself.
find_package(EXPAT REQUIRED)
function(dadovu_fuzz_white_box target)
  set(src "${PROJECT_SOURCE_DIR}/platform/qxlnk/src")
  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/fuzz/envelope_stream_fuzz.cpp" "${src}/Envelope.cpp"
                 "${src}/Errors.cpp" "${src}/Exceptions.cpp" "${src}/SoapElement.cpp")
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/fuzz" "${PROJECT_SOURCE_DIR}/platform/qxlnk/include"
                             "${src}")
  target_link_libraries(${target} PRIVATE QxPal::qxpal EXPAT::EXPAT $<BUILD_INTERFACE:dadovu_expat_features>)
endfunction()
