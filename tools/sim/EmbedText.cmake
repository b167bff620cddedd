# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> -P EmbedText.cmake
# Writes a C++ source defining `std::string_view DaDovuSim::<FUNCTION>()` that
# returns the bytes of INPUT, written as a byte array so that any content is safe.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(([^,]*,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by EmbedText.cmake; do not edit.
#include <string_view>

namespace DaDovuSim {
namespace {
const char kText[] = {
    ${bytes}'\\0'};
}  // namespace

std::string_view ${FUNCTION}() { return std::string_view(kText, ${byte_count}); }

}  // namespace DaDovuSim
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
