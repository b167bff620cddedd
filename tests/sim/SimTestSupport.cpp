#include "SimTestSupport.h"

#include <expat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace SimTest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dadovu-sim-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
    const std::string path = path_ + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
    return path;
}

const XmlNode* XmlNode::Child(const std::string& localName) const {
    for (const auto& child : children)
        if (child->local == localName) return child.get();
    return nullptr;
}

std::vector<const XmlNode*> XmlNode::ChildrenNamed(const std::string& localName) const {
    std::vector<const XmlNode*> found;
    for (const auto& child : children)
        if (child->local == localName) found.push_back(child.get());
    return found;
}

const std::string* XmlNode::Attribute(const std::string& nsUri, const std::string& localName) const {
    const std::string key = nsUri.empty() ? localName : nsUri + " " + localName;
    for (const auto& [name, value] : attributes)
        if (name == key) return &value;
    return nullptr;
}

namespace {

struct Builder {
    std::unique_ptr<XmlNode> root;
    std::vector<XmlNode*> open;
};

void SplitName(const char* name, XmlNode& node) {
    const std::string full(name);
    const std::size_t at = full.rfind(' ');
    if (at == std::string::npos) {
        node.local = full;
    } else {
        node.ns = full.substr(0, at);
        node.local = full.substr(at + 1);
    }
}

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& b = *static_cast<Builder*>(data);
    auto node = std::make_unique<XmlNode>();
    SplitName(name, *node);
    for (int i = 0; attributes[i] != nullptr; i += 2) node->attributes.emplace_back(attributes[i], attributes[i + 1]);
    XmlNode* raw = node.get();
    if (b.open.empty())
        b.root = std::move(node);
    else
        b.open.back()->children.push_back(std::move(node));
    b.open.push_back(raw);
}

void XMLCALL End(void* data, const XML_Char*) { static_cast<Builder*>(data)->open.pop_back(); }

void XMLCALL Text(void* data, const XML_Char* text, int length) {
    auto& b = *static_cast<Builder*>(data);
    if (!b.open.empty()) b.open.back()->text.append(text, static_cast<std::size_t>(length));
}

}  // namespace

std::unique_ptr<XmlNode> ParseXml(const std::string& text, std::string* error) {
    XML_Parser parser = XML_ParserCreateNS(nullptr, ' ');
    Builder builder;
    XML_SetUserData(parser, &builder);
    XML_SetElementHandler(parser, Start, End);
    XML_SetCharacterDataHandler(parser, Text);
    const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK;
    if (!ok && error != nullptr)
        *error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                 std::to_string(XML_GetCurrentLineNumber(parser));
    XML_ParserFree(parser);
    if (!ok) return nullptr;
    return std::move(builder.root);
}

const XmlNode* SoapBodyEntry(const XmlNode& envelope) {
    const XmlNode* body = envelope.Child("Body");
    if (body == nullptr || body->children.empty()) return nullptr;
    return body->children.front().get();
}

std::string SoapRequest(const std::string& method, const std::string& argumentsXml, const std::string& headerXml) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
        " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">";
    if (!headerXml.empty()) xml += "<SOAP-ENV:Header>" + headerXml + "</SOAP-ENV:Header>";
    xml += "<SOAP-ENV:Body><ns1:" + method + " xmlns:ns1=\"urn:lnk:rpc\">" + argumentsXml + "</ns1:" + method +
           "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return xml;
}

std::string Arg(const std::string& name, const std::string& text, const std::string& type) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped += c;
        }
    }
    return "<" + name + " xsi:type=\"" + type + "\">" + escaped + "</" + name + ">";
}

}  // namespace SimTest
