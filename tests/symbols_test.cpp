// The exported interface of libdadovu: its dynamic symbol table holds the
// public families and nothing else (the library is built with hidden
// visibility; only what carries DADOVU_API is exported). Reads the table of
// the library this process has loaded with `nm -D --defined-only --demangle`.

#include <dadovu/dadovu.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Symbol {
    char type;         // nm's letter: T text, W/V weak, u unique, D/B/R data, ...
    std::string name;  // demangled
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

const std::vector<std::string> kTypeData = {"typeinfo name for ", "typeinfo for ", "vtable for ", "VTT for ",
                                            "construction vtable for ", "guard variable for "};

// The qualified name that a symbol defines: "typeinfo for X" and the like give
// X; a function gives its name without return type and parameter list.
std::string DefinedName(std::string name) {
    for (const std::string& prefix : kTypeData) {
        if (StartsWith(name, prefix)) {
            name.erase(0, prefix.size());
            break;
        }
    }
    int depth = 0;
    std::string::size_type start = 0;
    for (std::string::size_type i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '(' && depth == 0) return name.substr(start, i - start);
        if (c == '<' || c == '(') ++depth;
        if (c == '>' || c == ')') --depth;
        if (c == ' ' && depth == 0) start = i + 1;  // after a return type
    }
    return name.substr(start);
}

// The classes whose members, type information and virtual tables are
// exported (Control with Control::Options and Control::OptionsImpl), and the
// exported free functions of the namespace.
const std::vector<std::string> kClasses = {
    "Control", "ControlException", "ComponentException", "TargetException", "PrerequisiteException",
    "EventException", "CommunicationException", "GetUserException", "Catalog", "ControlComponent",
    "ControlComponentImpl", "ControlComponentList", "ControlComponentListImpl", "ControlImpl_t",
    "SOAPArgControlComponentList", "SOAPArgControlMessageList",
    // The modern interface.
    "Client", "ClientInterface", "ClientSettings", "Component", "User", "Message", "Progress", "Error",
    "Fleet", "FleetOutcome", "FleetSummary"};
const std::vector<std::string> kFunctions = {"Start",           "Stop",      "Status",          "Notify",
                                             "AddComponent",    "DeleteComponent", "CreateURI", "IsCertInstalled",
                                             "LogMessage",      "Describe"};

bool IsPublicFamily(const Symbol& symbol) {
    const std::string name = DefinedName(symbol.name);
    for (const std::string& cls : kClasses)
        if (name == "DaDovu::" + cls || StartsWith(name, "DaDovu::" + cls + "::")) return true;
    for (const std::string& function : kFunctions)
        if (name == "DaDovu::" + function) return true;
    // Symbols that the linker may put into any shared library's dynamic table.
    for (const char* toolchain : {"_init", "_fini", "_edata", "_end", "__bss_start"})
        if (symbol.name == toolchain) return true;
    return false;
}

// Vague linkage: weak (or unique) definitions that the compiler emits in every
// object using them, with default visibility whatever the library's setting:
// instantiations of the standard library's templates, and the type data of
// outside-library classes without a key function. Never a name of DaDovu's own.
bool IsVagueLinkage(const Symbol& symbol) {
    if (symbol.type != 'W' && symbol.type != 'V' && symbol.type != 'u') return false;
    const std::string name = DefinedName(symbol.name);
    if (StartsWith(name, "std::") || StartsWith(name, "__gnu_cxx::")) return true;
    for (const std::string& prefix : kTypeData)
        if (StartsWith(symbol.name, prefix)) return StartsWith(name, "Qx");
    return false;
}

// The path of the loaded libdadovu: the object that holds the catalog (a
// static of the library's own; type data or a function's address could
// resolve to the executable's copy or stub instead).
std::string LibraryPath() {
    Dl_info info{};
    if (::dladdr(&DaDovu::Catalog::GetCatalog(), &info) == 0 || info.dli_fname == nullptr) return {};
    return info.dli_fname;
}

std::vector<Symbol> ReadDynamicSymbols(const std::string& library, bool demangle = true) {
    std::vector<Symbol> symbols;
    if (library.empty() || library.find('\'') != std::string::npos) return symbols;
    const std::string command =
        std::string("nm -D --defined-only ") + (demangle ? "--demangle " : "") + "'" + library + "'";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string output;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        // "<address> <type> <name>"; the name may contain blanks.
        const std::string::size_type first = line.find(' ');
        if (first != std::string::npos && first + 3 <= line.size() && line[first + 2] == ' ')
            symbols.push_back({line[first + 1], line.substr(first + 3)});
    }
    return symbols;
}

TEST(ExportedSymbols, AreThePublicFamiliesOfTheLibraryLoadedByItsSoname) {
    const std::string path = LibraryPath();
    ASSERT_FALSE(path.empty()) << "libdadovu not found in the process";
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "libdadovu.so.1");
    const std::vector<Symbol> symbols = ReadDynamicSymbols(path);
    ASSERT_FALSE(symbols.empty()) << "nm printed no symbols for " << path;
    for (const Symbol& symbol : symbols)
        EXPECT_TRUE(IsPublicFamily(symbol) || IsVagueLinkage(symbol))
            << "unexpected exported symbol (" << symbol.type << ") " << symbol.name;

    std::vector<std::string> expected = {
        "DaDovu::Control::Start(", "DaDovu::Control::StartAsync(", "DaDovu::Control::Stop(",
        "DaDovu::Control::StopAsync(", "DaDovu::Control::Notify(", "DaDovu::Control::Status(",
        "DaDovu::Control::GetUser(", "DaDovu::Control::GetCommandProgress(", "DaDovu::Control::Options::Options()",
        "DaDovu::Control::Options::SetTargetID(", "DaDovu::Control::Options::SetAsynchronous(",
        "DaDovu::Catalog::GetCatalog()", "DaDovu::ControlComponent::GetName()",
        "DaDovu::ControlComponentList::IsAtEnd()", "DaDovu::ControlImpl_t::Start(",
        "DaDovu::ControlImpl_t::GetCommandProgress(", "DaDovu::ControlImpl_t::AddComponent(",
        "DaDovu::SOAPArgControlComponentList::", "DaDovu::SOAPArgControlMessageList::",
        "typeinfo for DaDovu::ControlException", "typeinfo for DaDovu::CommunicationException",
        "typeinfo for DaDovu::GetUserException", "vtable for DaDovu::EventException",
        // The modern interface.
        "DaDovu::Client::Client(", "DaDovu::Client::FromNodeSettings(", "DaDovu::Client::Start(",
        "DaDovu::Client::Components(", "DaDovu::Client::Progress(", "DaDovu::ClientInterface::Wait(",
        "vtable for DaDovu::ClientInterface", "DaDovu::ClientSettings::SetEndpoint(",
        "DaDovu::Component::GetName", "DaDovu::User::GetUid()", "DaDovu::Message::GetText",
        "DaDovu::Progress::StateOfCode(", "typeinfo for DaDovu::Error", "DaDovu::Error::GetKind()",
        "DaDovu::Client::ForNode(", "DaDovu::Fleet::Run(", "DaDovu::Fleet::Stop()", "DaDovu::FleetOutcome::GetError()"};
    for (const std::string& function : kFunctions) expected.push_back("DaDovu::" + function + "(");
    for (const std::string& prefix : expected) {
        bool found = false;
        for (const Symbol& symbol : symbols) found = found || StartsWith(symbol.name, prefix);
        EXPECT_TRUE(found) << "not exported: " << prefix;
    }
}

}  // namespace

// Every symbol of the library's names that version 1.5.0 exported (mangled,
// as tests/abi lists them) is still exported: later versions only add.
TEST(ExportedSymbols, KeepEverySymbolOfTheFirstInterface) {
    const std::string baseline = std::string(DADOVU_SOURCE_DIR) + "/tests/abi/libdadovu.so.1-1.5.0.symbols";
    std::ifstream file(baseline);
    ASSERT_TRUE(file) << "cannot read " << baseline;
    std::set<std::string> exported;
    for (const Symbol& symbol : ReadDynamicSymbols(LibraryPath(), false)) exported.insert(symbol.name);
    ASSERT_FALSE(exported.empty());
    std::size_t checked = 0;
    for (std::string name; std::getline(file, name);) {
        if (name.empty()) continue;
        ++checked;
        EXPECT_EQ(exported.count(name), 1u) << "no longer exported: " << name;
    }
    EXPECT_GT(checked, 150u);
}
