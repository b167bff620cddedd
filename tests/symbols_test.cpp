// The exported interface of libdadovu: its dynamic symbol table holds the
// public families and nothing else (the library is built with hidden
// visibility; only what carries DADOVU_API is exported).
//
// Reads the table of the library this test process has loaded, with
// `nm -D --defined-only --demangle`.

#include <dadovu/dadovu.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Symbol {
    char type;         // nm's letter: T text, W/V weak, u unique, D/B/R data, ...
    std::string name;  // demangled
};

// The path of the loaded libdadovu: the object that holds the catalog (a
// static of the library's own; type data or a function's address could
// resolve to the executable's copy or stub instead).
std::string LibraryPath() {
    Dl_info info{};
    if (::dladdr(&DaDovu::Catalog::GetCatalog(), &info) == 0 || info.dli_fname == nullptr) return {};
    return info.dli_fname;
}

std::vector<Symbol> ReadDynamicSymbols(const std::string& library) {
    std::vector<Symbol> symbols;
    if (library.empty() || library.find('\'') != std::string::npos) return symbols;
    const std::string command = "nm -D --defined-only --demangle '" + library + "'";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return symbols;
    std::string line;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
        line += buffer;
        if (line.empty() || line.back() != '\n') continue;
        line.pop_back();
        // "<address> <type> <name>"; the name may contain blanks.
        const std::string::size_type first = line.find(' ');
        if (first != std::string::npos && first + 3 <= line.size() && line[first + 2] == ' ') {
            symbols.push_back({line[first + 1], line.substr(first + 3)});
        }
        line.clear();
    }
    return symbols;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

const std::vector<std::string> kTypeData = {"typeinfo name for ", "typeinfo for ", "vtable for ", "VTT for ",
                                            "construction vtable for ", "guard variable for "};

bool IsTypeData(const std::string& name) {
    for (const std::string& prefix : kTypeData) {
        if (StartsWith(name, prefix)) return true;
    }
    return false;
}

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

// The classes whose members, type information and virtual tables are exported.
const std::vector<std::string> kClasses = {
    "DaDovu::Control",  // with Control::Options and Control::OptionsImpl
    "DaDovu::ControlException",
    "DaDovu::ComponentException",
    "DaDovu::TargetException",
    "DaDovu::PrerequisiteException",
    "DaDovu::EventException",
    "DaDovu::CommunicationException",
    "DaDovu::GetUserException",
    "DaDovu::Catalog",
    "DaDovu::ControlComponent",
    "DaDovu::ControlComponentImpl",
    "DaDovu::ControlComponentList",
    "DaDovu::ControlComponentListImpl",
    "DaDovu::ControlImpl_t",
    "DaDovu::SOAPArgControlComponentList",
    "DaDovu::SOAPArgControlMessageList",
};

// The exported free functions of the namespace DaDovu.
const std::vector<std::string> kFunctions = {
    "Start", "Stop", "Status", "Notify", "AddComponent", "DeleteComponent",
    "CreateURI", "IsCertInstalled", "LogMessage",
};

// Symbols that the linker may put into any shared library's dynamic table.
const std::vector<std::string> kToolchain = {"_init", "_fini", "_edata", "_end", "__bss_start"};

bool IsPublicFamily(const Symbol& symbol) {
    const std::string name = DefinedName(symbol.name);
    for (const std::string& cls : kClasses) {
        if (name == cls || StartsWith(name, cls + "::")) return true;
    }
    for (const std::string& function : kFunctions) {
        if (name == "DaDovu::" + function) return true;
    }
    return false;
}

bool IsToolchain(const Symbol& symbol) {
    for (const std::string& name : kToolchain) {
        if (symbol.name == name) return true;
    }
    return false;
}

// Vague linkage: what the compiler emits as a weak (or unique) definition in
// every object that uses it, and which carries its own default visibility
// whatever the library's setting, so that the dynamic linker can merge the
// copies of all modules:
//   - instantiations of the standard library's templates (the library's are
//     instantiated for String_t's UTF-16 text, the component list and the
//     message parameters);
//   - the type data of outside-library classes without a key function (for
//     example QxPalMsg::CreateError_t, whose destructor is implicit).
// A strong definition never qualifies, nor does any name of DaDovu's own.
bool IsVagueLinkage(const Symbol& symbol) {
    if (symbol.type != 'W' && symbol.type != 'V' && symbol.type != 'u') return false;
    const std::string name = DefinedName(symbol.name);
    if (StartsWith(name, "std::") || StartsWith(name, "__gnu_cxx::")) return true;
    return IsTypeData(symbol.name) && StartsWith(name, "Qx");
}

class ExportedSymbols : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = LibraryPath();
        ASSERT_FALSE(path_.empty()) << "libdadovu not found in the process";
        symbols_ = ReadDynamicSymbols(path_);
        ASSERT_FALSE(symbols_.empty()) << "nm printed no symbols for " << path_;
    }

    bool Exports(const std::string& prefix) const {
        for (const Symbol& symbol : symbols_) {
            if (StartsWith(symbol.name, prefix)) return true;
        }
        return false;
    }

    std::string path_;
    std::vector<Symbol> symbols_;
};

TEST_F(ExportedSymbols, AreOnlyThePublicFamilies) {
    for (const Symbol& symbol : symbols_) {
        EXPECT_TRUE(IsPublicFamily(symbol) || IsToolchain(symbol) || IsVagueLinkage(symbol))
            << "unexpected exported symbol (" << symbol.type << ") " << symbol.name << " in " << path_;
    }
}

TEST_F(ExportedSymbols, IncludeEveryPublicFamily) {
    for (const char* expected : {
             "DaDovu::Control::Start(", "DaDovu::Control::StartAsync(", "DaDovu::Control::Stop(",
             "DaDovu::Control::StopAsync(", "DaDovu::Control::Notify(", "DaDovu::Control::Status(",
             "DaDovu::Control::GetUser(", "DaDovu::Control::GetCommandProgress(",
             "DaDovu::Control::Options::Options()", "DaDovu::Control::Options::SetTargetID(",
             "DaDovu::Control::Options::SetAsynchronous(", "DaDovu::Catalog::GetCatalog()",
             "DaDovu::ControlComponent::GetName()", "DaDovu::ControlComponentList::IsAtEnd()",
             "DaDovu::ControlImpl_t::Start(", "DaDovu::ControlImpl_t::GetCommandProgress(",
             "DaDovu::ControlImpl_t::AddComponent(", "DaDovu::SOAPArgControlComponentList::",
             "DaDovu::SOAPArgControlMessageList::", "typeinfo for DaDovu::ControlException",
             "typeinfo for DaDovu::CommunicationException", "typeinfo for DaDovu::GetUserException",
             "vtable for DaDovu::EventException",
         }) {
        EXPECT_TRUE(Exports(expected)) << "not exported: " << expected;
    }
    for (const std::string& function : kFunctions) {
        EXPECT_TRUE(Exports("DaDovu::" + function + "(")) << "not exported: DaDovu::" << function;
    }
}

// The library is loaded by its versioned name (its SONAME), not by the
// development link name.
TEST_F(ExportedSymbols, BelongToTheLibraryLoadedByItsSoname) {
    const std::string file = path_.substr(path_.rfind('/') + 1);
    EXPECT_EQ(file, "libdadovu.so.1");
}

// What the classification above takes apart.
TEST(SymbolNames, DefinedNameStripsReturnTypeParametersAndTypeDataWords) {
    EXPECT_EQ(DefinedName("DaDovu::Start(QxPalStr::String_t, char const*)"), "DaDovu::Start");
    EXPECT_EQ(DefinedName("typeinfo for DaDovu::ControlException"), "DaDovu::ControlException");
    EXPECT_EQ(DefinedName("void std::vector<QxPalMsg::Parm_t, std::allocator<QxPalMsg::Parm_t> >::_M_realloc_insert"
                          "<QxPalMsg::Parm_t const&>(int)"),
              "std::vector<QxPalMsg::Parm_t, std::allocator<QxPalMsg::Parm_t> >::_M_realloc_insert"
              "<QxPalMsg::Parm_t const&>");
    EXPECT_EQ(DefinedName("std::pair<int, DaDovu::X> DaDovu::Helper(int)"), "DaDovu::Helper");
    EXPECT_FALSE(IsVagueLinkage({'W', "std::pair<int, int> DaDovu::Helper(int)"}));
    EXPECT_FALSE(IsPublicFamily({'T', "DaDovu::ControlImplHelper::Run()"}));
    EXPECT_FALSE(IsPublicFamily({'T', "DaDovu::StartAll(int)"}));
    EXPECT_TRUE(IsPublicFamily({'T', "DaDovu::Control::Options::Options()"}));
    EXPECT_FALSE(IsVagueLinkage({'T', "std::vector<int, std::allocator<int> >::_M_fill(int)"}));
}

}  // namespace
