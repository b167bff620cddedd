// Helpers of the simulator's tests: SOAP requests and the Body of an answer.
// Process.h brings the temporary directory (SoapTest::TempDir).
#pragma once

#include <Process.h>

#include <string>
#include <utility>
#include <vector>

namespace SimTest {

// A SOAP 1.1 request envelope calling `method` in the namespace "urn:lnk:rpc"
// with `args` (values escaped, carriage returns kept) and a Header holding `headerXml`.
inline std::string SoapRequest(const std::string& method,
                               const std::vector<std::pair<std::string, std::string>>& args = {},
                               const std::string& headerXml = "") {
    std::string xml = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsi="
                      "\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Header>" + headerXml +
                      "</SOAP-ENV:Header><SOAP-ENV:Body><ns1:" + method + " xmlns:ns1=\"urn:lnk:rpc\">";
    for (const auto& [name, value] : args) {
        xml += "<" + name + " xsi:type=\"xsd:string\">";
        for (char c : value)
            xml += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '\r' ? "&#13;" : std::string(1, c);
        xml += "</" + name + ">";
    }
    return xml + "</ns1:" + method + "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// What a SOAP envelope's Body holds (the response element or the Fault), as written.
inline std::string BodyEntry(const std::string& envelope) {
    const std::size_t begin = envelope.find("<soap:Body>"), end = envelope.rfind("</soap:Body>");
    return begin == std::string::npos || end == std::string::npos ? "no Body: " + envelope
                                                                   : envelope.substr(begin + 11, end - begin - 11);
}

}  // namespace SimTest
