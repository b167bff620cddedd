// Text and integer arguments of the library's own classes are written without
// the XML writer when their name, type and text need no escape. The bytes
// must be the writer's, which still writes every argument of a derived class.
#include "LnkTestSupport.h"

#include <climits>

namespace {

using namespace LnkTest;
using QxLnkSoap::SOAPArgInt;
using QxLnkSoap::SOAPArgUnicodeString;

// The same arguments, but of classes the fast path does not know.
struct DerivedText : SOAPArgUnicodeString {
    using SOAPArgUnicodeString::SOAPArgUnicodeString;
};
struct DerivedInt : SOAPArgInt {
    using SOAPArgInt::SOAPArgInt;
};

std::string Written(const SOAPArg& arg) {
    const SOAPArg* args[] = {&arg};
    return QxLnkSoap::WriteRequestEnvelope("m", 1, args, nullptr);
}

TEST(RequestPlain, ArgumentsAreWrittenAsTheXmlWriterWritesThem) {
    const std::vector<std::string> texts = {
        "", "comp00001", "a\"b'c", "a<b", "a>b", "a&b", "tab\there", "line\nend", "cr\rend", "del\x7f",
        "caf\xc3\xa9", std::string(300, 'x')};
    const std::vector<std::string> names = {"target", "n", "a-b.c_d", "caf\xc3\xa9"};
    const std::vector<const char*> types = {nullptr, "xsd:string", "cclist", "x:\"q\""};
    for (const std::string& name : names) {
        for (const char* type : types) {
            for (const std::string& text : texts) {
                SOAPArgUnicodeString plain(String_t(name.c_str()).Data(), String_t(text.c_str()));
                DerivedText derived(String_t(name.c_str()).Data(), String_t(text.c_str()));
                if (type != nullptr) {
                    plain.SetXSITypeAttribute(type);
                    derived.SetXSITypeAttribute(type);
                }
                EXPECT_EQ(Written(plain), Written(derived)) << name << " " << (type ? type : "-") << " " << text;
            }
            for (const int value : {0, -1, 42, INT_MIN, INT_MAX}) {
                SOAPArgInt plain(String_t(name.c_str()).Data(), value);
                DerivedInt derived(String_t(name.c_str()).Data(), value);
                if (type != nullptr) {
                    plain.SetXSITypeAttribute(type);
                    derived.SetXSITypeAttribute(type);
                }
                EXPECT_EQ(Written(plain), Written(derived)) << name << " " << value;
            }
        }
    }
    // Attributes and a prefix of their own take the writer's way too.
    SOAPArgUnicodeString attributed(String_t("a").Data(), String_t("v"));
    attributed.AddAttribute("k", "1");
    EXPECT_NE(Written(attributed).find("<a k=\"1\">v</a>"), std::string::npos) << Written(attributed);
}

}  // namespace
