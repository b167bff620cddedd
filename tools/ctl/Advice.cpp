#include "Advice.h"

#include "Output.h"

namespace DaDovuCtl {

namespace {

using DaDovu::ErrorKind;

// Requests that change what runs on the node: not to be repeated blindly.
bool Changes(const std::string& operation) {
    return operation == "start" || operation == "stop" || operation == "notify" || operation == "addcomponent" ||
           operation == "deletecomponent";
}

bool Mentions(const DaDovu::Error& error, const char* words) {
    if (std::string(error.what()).find(words) != std::string::npos) return true;
    for (const std::string& detail : error.GetDetails())
        if (detail.find(words) != std::string::npos) return true;
    return false;
}

std::string Hint(const DaDovu::Error& error) {
    const std::string& operation = error.GetOperation();
    const bool plain = error.GetEndpoint().compare(0, 7, "http://") == 0;
    switch (error.GetKind()) {
    case ErrorKind::NotAuthenticated:
        return "the daemon did not accept the client's identity: check that a client certificate is configured "
               "(--cert and --key, or CLIENT_CERT and CLIENT_KEY in [lnk.http.ext.ctrl]), that it has not "
               "expired, and that the daemon trusts its issuer";
    case ErrorKind::NotAuthorized:
        return "the daemon knows the client but refuses it this request: check that the subject of the client "
               "certificate is authorized on the node for '" + operation + "'";
    case ErrorKind::Tls:
        return "check the TLS files (--cacert, --cert, --key, or CA_FILE, CA_DIR, CLIENT_CERT, CLIENT_KEY in "
               "[lnk.http.ext.ctrl]) and that the daemon's certificate names the host asked";
    case ErrorKind::NoAnswer:
    case ErrorKind::MalformedAnswer:
        if (plain && (Mentions(error, "closed") || Mentions(error, "reset") || error.GetKind() == ErrorKind::MalformedAnswer))
            return std::string(Changes(operation) ? "the request was sent: the daemon may have carried it out. " : "") +
                   "A daemon that speaks only https closes plain http connections: try an https:// URI, or --https "
                   "for nodes";
        if (Changes(operation))
            return "the request was sent, but no verdict came back: the daemon may have carried it out; check with "
                   "'dadovuctl status' before repeating it";
        return {};
    case ErrorKind::NotSent:
        if (plain && (Mentions(error, "closed") || Mentions(error, "reset")))
            return "nothing was carried out. A daemon that speaks only https closes plain http connections: try an "
                   "https:// URI, or --https for nodes";
        return {};
    default:
        return {};
    }
}

}  // namespace

std::optional<Refusal> RefusalOf(const std::string& operation, int code) {
    if (operation == "addcomponent") {
        switch (code) {
        case 80: return Refusal{"no such regular file in the daemon's components directory", Exit::Daemon, "daemon_error"};
        case 81: return Refusal{"the file cannot be read or is not a valid definition", Exit::Daemon, "daemon_error"};
        case 82: return Refusal{"a component of that name exists already", Exit::Daemon, "daemon_error"};
        case 83:
            return Refusal{"not a plain file name, or the daemon has no components directory",
                           Exit::IllegalArgument, "invalid_argument"};
        case 84: return Refusal{"a prerequisite names no known component", Exit::Daemon, "daemon_error"};
        default: return std::nullopt;
        }
    }
    if (operation == "deletecomponent") {
        switch (code) {
        case 85: return Refusal{"no component of that name", Exit::Target, "no_matching_component"};
        case 86: return Refusal{"another component names it as a prerequisite", Exit::Daemon, "daemon_error"};
        case 87: return Refusal{"the component is starting or stopping right now", Exit::Daemon, "daemon_error"};
        default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::pair<Exit, Failure> Explain(const DaDovu::Error& error) {
    Failure failure;
    Exit status = StatusOfKind(error.GetKind());
    failure.kind = KindName(error.GetKind());
    failure.message = error.what();
    failure.details = error.GetDetails();
    failure.resultCode = error.GetResultCode();
    failure.mayHaveActed = error.MayHaveActed();
    if (error.GetResultCode()) {
        if (const std::optional<Refusal> refusal = RefusalOf(error.GetOperation(), *error.GetResultCode())) {
            status = refusal->status;
            failure.kind = refusal->kind;
            failure.message = error.GetOperation();
            if (error.GetTarget()) failure.message += " '" + *error.GetTarget() + "'";
            failure.message += " at " + error.GetEndpoint() + ": refused: " + refusal->words + " (result code " +
                               std::to_string(*error.GetResultCode()) + ")";
        }
    }
    failure.hint = Hint(error);
    return {status, std::move(failure)};
}

}  // namespace DaDovuCtl
