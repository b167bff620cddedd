// Helpers of the simulator's tests: temporary directories, an Expat-built
// element tree for checking what the daemon writes, and SOAP request text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace SimTest {

// A fresh directory under the system's temporary directory, removed with
// everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Writes `text` to Path()/name and returns the file's path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// One element of a parsed document. Names are split into namespace URI and
// local name; `text` is the element's own character data (not its children's).
struct XmlNode {
    std::string ns;
    std::string local;
    std::vector<std::pair<std::string, std::string>> attributes;  // "uri local" or "local" -> value
    std::string text;
    std::vector<std::unique_ptr<XmlNode>> children;

    // The first child of that local name, or null.
    const XmlNode* Child(const std::string& localName) const;
    std::vector<const XmlNode*> ChildrenNamed(const std::string& localName) const;
    // The value of the attribute of that namespace URI and local name, or null.
    const std::string* Attribute(const std::string& nsUri, const std::string& localName) const;
};

// Parses a document with namespace processing; null (and `error` set)
// when it is not well-formed.
std::unique_ptr<XmlNode> ParseXml(const std::string& text, std::string* error = nullptr);

// The Body's first element of a SOAP envelope, or null.
const XmlNode* SoapBodyEntry(const XmlNode& envelope);

// A SOAP 1.1 request envelope for `method` whose argument elements are given
// as raw XML.
std::string SoapRequest(const std::string& method, const std::string& argumentsXml,
                        const std::string& headerXml = "");

// <name xsi:type="xsd:string">text</name>, text escaped.
std::string Arg(const std::string& name, const std::string& text, const std::string& type = "xsd:string");

}  // namespace SimTest
