// SOAP 1.1 RPC messages of the daemon: reading a request envelope (Expat) and
// writing response envelopes and faults.
#pragma once

#include "CommandEngine.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace DaDovuSim {

inline constexpr const char* kEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kServiceNamespace = "urn:dadovu:control";

// A failure answered as a SOAP 1.1 Fault. `code` is the faultcode with the
// envelope prefix "soap:" ("soap:Client", "soap:Server", ...).
class SoapFault : public std::runtime_error {
public:
    SoapFault(std::string code, const std::string& text) : std::runtime_error(text), code_(std::move(code)) {}
    const std::string& Code() const { return code_; }

private:
    std::string code_;
};

struct SoapArgument {
    std::string name;   // local name
    std::string type;   // the xsi:type attribute as written ("" when none)
    std::string value;  // the text content (of descendants too), UTF-8
    bool nil = false;   // xsi:nil="true"
};

struct SoapRequest {
    std::string method;           // local name of the Body's first element
    std::string methodNamespace;  // its namespace URI
    std::vector<SoapArgument> arguments;  // in document order
    std::optional<std::string> targetId;  // a Header entry with the local name "TargetID"

    // The first argument of that local name, or null.
    const SoapArgument* Find(std::string_view name) const;
};

// Reads a request envelope. The method and argument elements are matched by
// local name whatever their namespace. Throws SoapFault: "soap:Client" for a
// body that is not well-formed XML, has a document type declaration, is not a
// SOAP envelope or has no Body element; "soap:VersionMismatch" for another
// envelope version; "soap:MustUnderstand" for a header entry marked
// mustUnderstand="1" other than "TargetID".
SoapRequest ParseSoapRequest(std::string_view body);

// Builds the response envelope of one method: the Body holds
// <m:methodResponse xmlns:m="urn:dadovu:control"> with unqualified outputs,
// each with an xsi:type. `method` must be a name-like word.
class SoapResponseWriter {
public:
    explicit SoapResponseWriter(std::string_view method);

    void AddInt(std::string_view name, long long value);
    void AddString(std::string_view name, std::string_view text);
    // xsi:type "m:cclist": <ctrlcomp> with name, description, category, pid,
    // xml and state (the ComponentState number) per record.
    void AddComponentList(std::string_view name, const std::vector<ComponentRecord>& records);
    // xsi:type "m:msglist": <Message> with Severity, Catalog (CatalogID,
    // MsgNo), MsgString and, when there are any, Params/Param per message.
    void AddMessageList(std::string_view name, const std::vector<ProgressMessage>& messages);

    // The whole envelope; the writer is spent afterwards.
    std::string Finish();

private:
    std::string method_;
    std::string xml_;
};

// A SOAP 1.1 Fault envelope.
std::string WriteSoapFault(std::string_view code, std::string_view text);

}  // namespace DaDovuSim
