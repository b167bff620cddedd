// DaDovu::Error: the one exception of the modern interface, and the texts of
// its kinds.

#include <dadovu/Client.h>

#include <utility>

namespace DaDovu {

const char* Describe(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::NoMatchingComponent: return "no component matches the target";
    case ErrorKind::ComponentFailed: return "a component of the target failed";
    case ErrorKind::PrerequisiteFailed: return "a prerequisite of the target failed";
    case ErrorKind::EventNotSubscribed: return "no component of the target subscribes to the event";
    case ErrorKind::UserUnknown: return "the daemon cannot name the user of its processes";
    case ErrorKind::NotAuthenticated: return "not authenticated";
    case ErrorKind::NotAuthorized: return "not authorized";
    case ErrorKind::DaemonError: return "the daemon reported an error";
    case ErrorKind::NotSent: return "the request was not sent";
    case ErrorKind::NoAnswer: return "no answer (the daemon may have acted)";
    case ErrorKind::Tls: return "TLS failed";
    case ErrorKind::MalformedAnswer: return "the answer is malformed";
    case ErrorKind::InvalidArgument: return "invalid argument";
    }
    return "unknown error";
}

struct Error::Impl {
    ErrorKind kind;
    std::string operation;
    std::string endpoint;
    std::optional<std::string> target;
    std::optional<int> resultCode;
    std::vector<std::string> details;
};

namespace {

// "start 'webserver' at http://...: no component matches the target (result
// code 65): detail; detail"
std::string Explain(ErrorKind kind, const std::string& operation, const std::string& endpoint,
                    const std::optional<std::string>& target, const std::optional<int>& resultCode,
                    const std::vector<std::string>& details) {
    std::string text = operation;
    if (target) text += " '" + *target + "'";
    if (!endpoint.empty()) text += " at " + endpoint;
    text += ": ";
    text += Describe(kind);
    if (resultCode) text += " (result code " + std::to_string(*resultCode) + ")";
    for (std::size_t i = 0; i < details.size(); ++i) text += (i == 0 ? ": " : "; ") + details[i];
    return text;
}

}  // namespace

Error::Error(ErrorKind kind, std::string operation, std::string endpoint, std::optional<std::string> target,
             std::optional<int> resultCode, std::vector<std::string> details)
    : std::runtime_error(Explain(kind, operation, endpoint, target, resultCode, details)),
      impl_(std::make_shared<const Impl>(Impl{kind, std::move(operation), std::move(endpoint), std::move(target),
                                              resultCode, std::move(details)})) {}

Error::Error(const Error& other) noexcept = default;
Error& Error::operator=(const Error& other) noexcept = default;
Error::~Error() = default;

ErrorKind Error::GetKind() const noexcept { return impl_->kind; }
const std::string& Error::GetOperation() const noexcept { return impl_->operation; }
const std::string& Error::GetEndpoint() const noexcept { return impl_->endpoint; }
const std::optional<std::string>& Error::GetTarget() const noexcept { return impl_->target; }
const std::optional<int>& Error::GetResultCode() const noexcept { return impl_->resultCode; }
const std::vector<std::string>& Error::GetDetails() const noexcept { return impl_->details; }

}  // namespace DaDovu
