// Owned narrow and UTF-16 character buffers.
#include <qxpal/array.h>

namespace QxPalArray {

CharArray_t::CharArray_t(const char* text) {
    if (text != nullptr) text_ = text;
}

UTF16CharArray_t::UTF16CharArray_t(const char* utf8) {
    if (utf8 != nullptr) QxPalStr::AppendUtf16(text_, utf8);
}

UTF16CharArray_t::UTF16CharArray_t(const unsigned short* text) {
    if (text != nullptr) text_.assign(text, QxPalStr::UTF16Length(text));
}

}  // namespace QxPalArray
