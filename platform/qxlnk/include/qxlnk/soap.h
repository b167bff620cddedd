// QxLnkSoap: SOAP elements and arguments.
//
// Writing an argument: its open tag with its xsi:type, WriteContentTo, its close tag.
// Parsing a response: each child element of the response element is offered to
// the outputs' StartElement(prefix, name, namespace) in turn; the first that
// returns an element takes it. From then on, every nested start is offered to
// the element that took its parent (a null return skips that element's whole
// subtree), text goes to Characters, and each end to EndElement of the element
// that took the start. Names are local names; prefixes and namespace URIs are
// passed for information (empty texts, never null).
#pragma once

#include <qxlnk/export.h>
#include <qxpal/io.h>
#include <qxpal/string.h>
#include <qxpal/xml.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QxLnkSoap {

// The namespace in which the library writes RPC method elements and custom types.
QXLNK_API extern const char* const SERVICE_NAMESPACE;

// An element of a SOAP message: name, namespace prefix and URI, attributes,
// and the text collected while it is parsed. Not synchronised.
class QXLNK_API SOAPElement {
public:
    explicit SOAPElement(const unsigned short* name);
    SOAPElement(const SOAPElement&) = delete;
    SOAPElement& operator=(const SOAPElement&) = delete;
    virtual ~SOAPElement();

    // Slot order matters to binary users; do not reorder.
    virtual void AddNamespace(const char* prefix, const char* uri);
    virtual void AddAttribute(const char* name, const char* value);
    // The text collected since the last base StartElement.
    virtual const QxPalStr::String_t& GetCharacters() const;
    virtual void WriteTo(const QxPalXml::XmlWriter_t& writer) const;
    virtual void WriteTo(QxPalIo::OutputStream_t& stream, const char* encoding, int flags) const;
    virtual void WriteTo(QxPalIo::Writer_t& writer, int flags) const;
    virtual void WriteOpenTagTo(const QxPalXml::XmlWriter_t& writer) const;
    virtual void WriteContentTo(const QxPalXml::XmlWriter_t& writer) const;
    virtual void WriteCloseTagTo(const QxPalXml::XmlWriter_t& writer) const;
    // Base: takes the element if its name equals this element's name: restarts
    // text collection and returns this; otherwise null.
    virtual SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                                      const unsigned short* namespaceUri);
    // Base: appends to the collected text while collecting.
    virtual void Characters(const unsigned short* text, int length);
    // Base: stops collecting; the collected text stays readable.
    virtual void EndElement(const unsigned short* prefix, const unsigned short* name,
                            const unsigned short* namespaceUri);

    const QxPalStr::String_t& GetName() const { return name_; }
    const QxPalStr::String_t& GetPrefix() const { return prefix_; }
    const QxPalStr::String_t& GetNamespaceUri() const { return namespaceUri_; }
    // Whether AddAttribute or AddNamespace gave the element attributes to write.
    bool HasAttributes() const { return !attributes_.empty(); }

protected:
    QxPalStr::String_t name_;
    QxPalStr::String_t prefix_;
    QxPalStr::String_t namespaceUri_;
    std::vector<std::pair<std::string, std::string>> attributes_;  // written in the open tag
    QxPalStr::String_t characters_;
    bool collecting_ = false;
};

// Base of RPC arguments: an element with an xsi:type.
class QXLNK_API SOAPArg : public SOAPElement {
public:
    explicit SOAPArg(const unsigned short* name);
    ~SOAPArg() override;

    // Sets the argument's own xsi:type (each argument class knows its type).
    virtual void SetTypeAttribute();
    virtual const char* GetTypeAttribute() const;

    // Names the xsi:type written in the open tag. A name without a prefix is a
    // type of SERVICE_NAMESPACE; "xsd:..." names an XML Schema type.
    void SetXSITypeAttribute(const char* type);
    void WriteOpenTagTo(const QxPalXml::XmlWriter_t& writer) const override;

protected:
    std::string xsiType_;
};

// An integer argument: an input with a value, or an output bound to an int.
class QXLNK_API SOAPArgInt : public SOAPArg {
public:
    SOAPArgInt(const unsigned short* name, int value);
    // Output: `target` receives the element's text, which must be an xsd:int
    // (an optional sign and decimal digits within range, white space around
    // only); any other text makes the response malformed (SoapException), and
    // `target` keeps its value. `target` must outlive the argument.
    SOAPArgInt(const unsigned short* name, int* target);
    ~SOAPArgInt() override;

    void SetTypeAttribute() override;  // "xsd:int"
    // The value an input sends.
    int GetValue() const { return value_; }
    void WriteContentTo(const QxPalXml::XmlWriter_t& writer) const override;
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override;

private:
    int value_ = 0;
    int* target_ = nullptr;
};

// A UTF-16 text argument: an input with a value, or an output bound to a pointer.
class QXLNK_API SOAPArgUnicodeString : public SOAPArg {
public:
    SOAPArgUnicodeString(const unsigned short* name, const unsigned short* value);
    SOAPArgUnicodeString(const unsigned short* name, const QxPalStr::String_t& value);
    // Output: `*target` is set to the received text, zero-terminated, owned by
    // the argument and valid while it lives (copy it at once). `*target` is not
    // changed when the response lacks the element. `target` must outlive the argument.
    SOAPArgUnicodeString(const unsigned short* name, unsigned short** target);
    ~SOAPArgUnicodeString() override;

    void SetTypeAttribute() override;  // "xsd:string"
    // The text an input sends (for an output: the text received).
    const QxPalStr::String_t& GetValue() const { return value_; }
    void WriteContentTo(const QxPalXml::XmlWriter_t& writer) const override;
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override;

private:
    QxPalStr::String_t value_;
    unsigned short** target_ = nullptr;
};

// An element that takes its text as UTF-8, as the response carries it,
// instead of as UTF-16: an output argument derives from this as well as from
// SOAPArg, and the parser then calls CharactersUtf8 where it would call
// Characters (for the argument and for every element it takes for itself),
// sparing a conversion per text. (The parser asks an output's dynamic type:
// output classes are compiled with RTTI.)
class QXLNK_API SOAPUtf8Text {
public:
    virtual ~SOAPUtf8Text();
    // A text of the element taken last (more may follow); valid during the call.
    virtual void CharactersUtf8(std::string_view text) = 0;

protected:
    SOAPUtf8Text() = default;
    SOAPUtf8Text(const SOAPUtf8Text&) = default;
    SOAPUtf8Text& operator=(const SOAPUtf8Text&) = default;
};

// A SOAP 1.1 envelope: the RPC request's arguments.
class QXLNK_API SOAPEnvelope {
public:
    virtual ~SOAPEnvelope();
    // The request's input arguments, in order. The pointers must stay valid
    // until the request has been sent; the arguments are not copied.
    void SetArgs(int count, const SOAPArg* const* args);

protected:
    SOAPEnvelope() = default;
    SOAPEnvelope(const SOAPEnvelope&) = default;
    SOAPEnvelope& operator=(const SOAPEnvelope&) = default;

    std::vector<const SOAPArg*> args_;
};

// The request envelope that RpcCall::Invoke sends for `method` with `args`
// (UTF-8, without the HTTP head); `targetId` null for none. Throws
// IllegalArgumentError_t for text that XML cannot carry.
QXLNK_API std::string WriteRequestEnvelope(const char* method, int count, const SOAPArg* const* args,
                                           const QxPalStr::String_t* targetId);

// The memory that output arguments build from one response (records, lists,
// their texts) is bounded by kResponseMemoryFactor times the response size
// limit ("MAX_RESPONSE_BYTES"), so that a response of many small elements
// cannot make a call take far more memory than the limit says. An argument
// that builds such things reports what each costs as it builds it; the
// response in progress on this thread is then refused as oversized (a
// SoapException, thrown from here) once the sum passes the bound. Outside the
// parse of a response it does nothing.
constexpr std::size_t kResponseMemoryFactor = 4;
QXLNK_API void ChargeResponseMemory(std::size_t bytes);

// Whether Expat may defer reparsing an unfinished token until enough new
// input has come (its guard against quadratic parsing time, from Expat 2.6
// and in distributions' backports). `Library`, the default: deferral stays as
// Expat has it and is switched off only for the last piece of a response, so
// that the response's end is parsed when it arrives. `Off`: switched off
// throughout, as with an Expat that has no deferral. Responses are parsed
// alike either way, and alike where Expat offers no switch.
enum class ReparseDeferral { Library, Off };
// For tests that compare both behaviours on one machine: what the response
// parsers use from their next response on. Thread-safe.
QXLNK_API void SetReparseDeferral(ReparseDeferral deferral);
// Whether this Expat defers reparsing and can be told not to.
QXLNK_API bool HasReparseDeferral();

// Parses a complete response envelope exactly as RpcCall::Invoke does,
// filling `outputs`. Throws SoapFaultException for a Fault and SoapException
// for a body that is malformed, not an envelope, or larger than `maxBytes`.
// For tests and benchmarks of arguments without a network.
QXLNK_API void ParseResponseEnvelope(std::string_view body, int count, SOAPArg* const* outputs,
                                     std::size_t maxBytes = 64u << 20);

}  // namespace QxLnkSoap
