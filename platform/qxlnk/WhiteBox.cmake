# qxlnk_white_box(<target>): builds the communication library's response
# parser into <target> from its sources, for tests, fuzz targets and
# benchmarks that need the parser a connection keeps (not part of the
# library's interface). Such a target must not link the library itself.
find_package(EXPAT REQUIRED)
set(QXLNK_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE INTERNAL "")
function(qxlnk_white_box target)
  set(src "${QXLNK_SOURCE_DIR}/src")
  target_sources(${target} PRIVATE "${src}/EnvelopeParser.cpp" "${src}/XmlDriver.cpp" "${src}/NamespaceScope.cpp"
                 "${src}/Utf16Buffer.cpp" "${src}/RequestWriter.cpp" "${src}/Errors.cpp" "${src}/Exceptions.cpp"
                 "${src}/SoapElement.cpp")
  target_include_directories(${target} PRIVATE "${QXLNK_SOURCE_DIR}/include" "${src}")
  target_link_libraries(${target} PRIVATE QxPal::qxpal EXPAT::EXPAT $<BUILD_INTERFACE:expat_features>)
endfunction()
