// client_errors: starts a target and, when that fails, shows everything a
// DaDovu::Error carries and what an operator should do about it, by kind.
//
//   client_errors [node|endpoint-URI] [target]      (defaults: localhost, webserver)
//
// Try a target that does not exist, a node where no daemon runs, or a node
// name that is not a host name ("bad node") to see different kinds.
#include <dadovu/Client.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>

namespace {

// What to do about a failure. No default: when a kind is added, the compiler
// warns here until it is handled.
const char* Advice(DaDovu::ErrorKind kind) {
    using Kind = DaDovu::ErrorKind;
    switch (kind) {
    case Kind::NoMatchingComponent:
        return "Check the target's spelling; a status of \"*\" lists the components the daemon knows.";
    case Kind::ComponentFailed:
        return "A component of the target failed. Look at that component's own logs, and read the\n"
               "target's status: other components of the target may have changed state.";
    case Kind::PrerequisiteFailed:
        return "A prerequisite did not come up. Start or repair the prerequisite first, then retry.";
    case Kind::EventNotSubscribed:
        return "No component of the target takes that event. Check the event name and the target.";
    case Kind::UserUnknown:
        return "The daemon's account has no name on the node: check the node's user database.";
    case Kind::NotAuthenticated:
        return "The daemon did not accept this client. Give it a client certificate the daemon trusts.";
    case Kind::NotAuthorized:
        return "This client's identity may not do this. Ask for the right, or use another identity.";
    case Kind::DaemonError:
        return "The daemon refused the request. The result code and details say why; see its documentation.";
    case Kind::NotSent:
        return "Nothing was sent, so nothing happened. Check the node name, the network and that the\n"
               "daemon runs; repeating the request is safe.";
    case Kind::NoAnswer:
        return "The request went out but no answer came: the daemon may have acted. Read the status\n"
               "before repeating the request, or it may run twice.";
    case Kind::Tls:
        return "TLS could not be set up (nothing was sent), or a certificate, key or authority could not\n"
               "be loaded. Check the files, their permissions, and the daemon's certificate and name.";
    case Kind::MalformedAnswer:
        return "Something answered that is not the daemon's SOAP answer: check that the endpoint is the\n"
               "daemon's and not a proxy's. An answer came back, so read the status before repeating.";
    case Kind::InvalidArgument:
        return "The program passed an argument or setting the client refused; nothing was sent. Fix the call.";
    }
    return "An error kind this program does not know yet.";
}

void Explain(const DaDovu::Error& error) {
    std::cerr << "failed: " << error.what() << "\n\n"
              << "  kind:           " << DaDovu::Describe(error.GetKind()) << "\n"
              << "  operation:      " << error.GetOperation() << "\n"
              << "  endpoint:       " << error.GetEndpoint() << "\n"
              << "  target:         " << error.GetTarget().value_or("(the request has none)") << "\n";
    // A result code is there only where the daemon sent one.
    if (const std::optional<int>& code = error.GetResultCode()) {
        std::cerr << "  result code:    " << *code << "\n";
    } else {
        std::cerr << "  result code:    (none from the daemon)\n";
    }
    // True only when the request went out and no answer came (NoAnswer): the
    // daemon may have acted without the client learning of it. (A verdict such
    // as ComponentFailed is an answer: the daemon did act, and says how.)
    std::cerr << "  acted unseen:   " << (error.MayHaveActed() ? "perhaps (no verdict came back)" : "no") << "\n";
    // The underlying causes, outermost first.
    for (const std::string& detail : error.GetDetails()) std::cerr << "  detail:         " << detail << "\n";
    std::cerr << "\nWhat to do: " << Advice(error.GetKind()) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) {
        std::cerr << "usage: " << argv[0] << " [node|endpoint-URI] [target]\n";
        return 2;
    }
    const std::string where = argc > 1 ? argv[1] : "localhost";
    const std::string target = argc > 2 ? argv[2] : "webserver";

    DaDovu::ClientSettings settings;
    if (where.find("://") != std::string::npos) {
        settings.SetEndpoint(where);
    } else {
        settings.SetNode(where);
    }
    settings.SetConnectTimeout(std::chrono::seconds(3));

    // Building the client and calling it fail the same way: one Error type.
    try {
        DaDovu::Client client(settings);
        client.Start(target, std::chrono::seconds(30));
        std::cout << "started " << target << " at " << client.GetEndpoint() << "\n";
        return 0;
    } catch (const DaDovu::Error& error) {
        Explain(error);
        return 1;
    }
}
