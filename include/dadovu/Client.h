// Client: the modern door to a node's control daemon. Settings are given in
// code, arguments and results are standard types, every failure is one
// structured DaDovu::Error, and every call has a deadline. It runs on the
// same request engine as Control, which stays as it is.
//
//   DaDovu::Client client(DaDovu::ClientSettings().SetNode("node17"));
//   client.Start("webserver", std::chrono::seconds(5));
//
// docs/client.md is the guide, with four example programs.
#pragma once

#include <dadovu/ControlComponent.h>
#include <dadovu/Export.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace DaDovu {

// ---------------------------------------------------------------------------
// Values.

// How severe a message is. The numbers are those the daemon sends.
enum class Severity : int { Info = 0, Warning = 1, Error = 2, Fatal = 3 };

// Status detail levels, from the least to the most detail.
enum class StatusLevel : int {
    Names = 0,          // component names
    States = 1,         // ... and states
    Processes = 2,      // ... and process IDs
    Descriptions = 3,   // ... and descriptions
    Categories = 4,     // ... and categories
    Prerequisites = 5,  // ... and prerequisites
    Events = 6,         // ... and subscribed events
    Full = 7,           // everything the daemon knows
};

// How Start starts: as an operator asks (Normal), or as the node's boot does.
enum class StartMode { Normal, Boot };
// How Stop stops: waiting for the components (Normal), or killing them.
enum class StopMode { Normal, Kill };

// When a call must be over: the client's default call timeout (a default
// Deadline), a span counted from the moment the call begins, or a point in
// time. The whole call counts: name resolution, connect, TLS, sending and the
// answer. A span of zero or less, or a point already passed, fails the call
// with ErrorKind::NotSent before anything is sent. A plain value; never throws.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    constexpr Deadline() = default;
    constexpr Deadline(Clock::time_point at) : at_(at), kind_(Kind::At) {}  // NOLINT: implicit on purpose
    template <typename Rep, typename Period>
    constexpr Deadline(std::chrono::duration<Rep, Period> within)  // NOLINT: implicit on purpose
        : within_(Saturate(within)), kind_(Kind::Within) {}

    bool IsDefault() const { return kind_ == Kind::Default; }
    // The point in time for a call that begins at `now`, where the default
    // stands for `fallback` from then.
    Clock::time_point At(Clock::time_point now, Clock::duration fallback) const {
        switch (kind_) {
        case Kind::At: return at_;
        case Kind::Within: return now + std::min(within_, Clock::time_point::max() - now);
        case Kind::Default: break;
        }
        return now + std::min(fallback, Clock::time_point::max() - now);
    }

private:
    enum class Kind { Default, Within, At };

    // A span in the clock's units, at most about a century, so that no
    // conversion or addition overflows.
    template <typename Rep, typename Period>
    static constexpr Clock::duration Saturate(std::chrono::duration<Rep, Period> within) {
        using Hours = std::chrono::duration<double, std::ratio<3600>>;
        constexpr double kMaxHours = 24.0 * 365 * 100;
        const double hours = std::chrono::duration_cast<Hours>(within).count();
        if (hours != hours || hours <= 0) return Clock::duration::zero();  // NaN, zero or negative: passed
        if (hours >= kMaxHours) return std::chrono::duration_cast<Clock::duration>(Hours(kMaxHours));
        return std::chrono::duration_cast<Clock::duration>(within);
    }

    Clock::time_point at_{};
    Clock::duration within_{};
    Kind kind_ = Kind::Default;
};

// One component as the daemon reports it. A value type: copies are
// independent. Not synchronised. Accessors never throw; setters (for building
// records, e.g. in a test's substitute client) may throw std::bad_alloc.
class DADOVU_API Component {
public:
    Component();
    Component(const Component& other);
    Component(Component&& other) noexcept;
    Component& operator=(const Component& other);
    Component& operator=(Component&& other) noexcept;
    ~Component();

    const std::string& GetName() const;
    const std::string& GetDescription() const;
    const std::string& GetCategory() const;
    // The process ID; empty when the daemon sent none, or not a number.
    std::optional<int> GetPid() const;
    // The component's definition as XML text.
    const std::string& GetXml() const;
    // The state; COMPONENT_OTHER for a number that names no state, which
    // GetStateNumber then gives. COMPONENT_UNKNOWN when none was reported.
    ComponentState GetState() const;
    int GetStateNumber() const;

    Component& SetName(std::string name);
    Component& SetDescription(std::string description);
    Component& SetCategory(std::string category);
    Component& SetPid(std::optional<int> pid);
    Component& SetXml(std::string xml);
    // The daemon's number for the state (any int).
    Component& SetStateNumber(int state);

    struct Impl;

private:
    friend struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Which user account the daemon's processes run as. A value type.
class DADOVU_API User {
public:
    User();
    User(int uid, std::string name);
    User(const User& other);
    User(User&& other) noexcept;
    User& operator=(const User& other);
    User& operator=(User&& other) noexcept;
    ~User();

    // The numeric user ID as the daemon reports it (-1 when it sent none).
    int GetUid() const;
    // The user name (empty when the daemon sent none).
    const std::string& GetName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A message of the daemon about a command: severity, catalog ID and number
// (empty and 0 when it has none), text and parameters, as the daemon sent
// them. A value type.
class DADOVU_API Message {
public:
    Message();
    Message(Severity severity, std::string catalog, unsigned number, std::string text,
            std::vector<std::string> parameters = {});
    Message(const Message& other);
    Message(Message&& other) noexcept;
    Message& operator=(const Message& other);
    Message& operator=(Message&& other) noexcept;
    ~Message();

    Severity GetSeverity() const;
    const std::string& GetCatalog() const;
    unsigned GetNumber() const;
    const std::string& GetText() const;
    const std::vector<std::string>& GetParameters() const;

    // Equal in every field.
    bool operator==(const Message& other) const;
    bool operator!=(const Message& other) const { return !(*this == other); }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The ID of an asynchronous command, as StartAsync and StopAsync return it:
// the daemon's code widened with its sign. A plain value.
class RequestId {
public:
    constexpr RequestId() = default;
    constexpr explicit RequestId(std::uint64_t value) : value_(value) {}
    constexpr std::uint64_t GetValue() const { return value_; }
    constexpr bool operator==(RequestId other) const { return value_ == other.value_; }
    constexpr bool operator!=(RequestId other) const { return value_ != other.value_; }
    constexpr bool operator<(RequestId other) const { return value_ < other.value_; }

private:
    std::uint64_t value_ = 0;
};

// Where an asynchronous command stands.
enum class ProgressState {
    Running,         // queued or still running (the daemon's code 1)
    Finished,        // ended well (any other code whose bit of value 64 is clear)
    Failed,          // ended in failure (a code with the bit of value 64 set, but 65)
    UnknownRequest,  // the daemon knows no command of that ID (code 65)
};

// The progress of an asynchronous command: its state, the daemon's code and
// its messages about the command, oldest first. A value type.
class DADOVU_API Progress {
public:
    Progress();
    Progress(ProgressState state, int code, std::vector<Message> messages = {});
    Progress(const Progress& other);
    Progress(Progress&& other) noexcept;
    Progress& operator=(const Progress& other);
    Progress& operator=(Progress&& other) noexcept;
    ~Progress();

    ProgressState GetState() const;
    int GetCode() const;
    const std::vector<Message>& GetMessages() const;
    // The state a daemon's "requestprogress" code stands for.
    static ProgressState StateOfCode(int code);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Errors.

// What went wrong. The first five are the daemon's verdicts on the request.
enum class ErrorKind {
    NoMatchingComponent,  // no component matches the target (result code 65)
    ComponentFailed,      // a component of the target failed (64)
    PrerequisiteFailed,   // a prerequisite of the target failed (71)
    EventNotSubscribed,   // no component of the target subscribes to the event (73)
    UserUnknown,          // the daemon cannot name the user of its processes (75)
    NotAuthenticated,     // the daemon did not authenticate the client (74, or a fault)
    NotAuthorized,        // the client may not do this (70, or a fault)
    DaemonError,          // any other failing code, or another SOAP fault
    NotSent,              // resolution or connect failed, or no time was left: the daemon did nothing
    NoAnswer,             // sent, then a timeout or a lost connection: the daemon may have acted
    Tls,                  // TLS could not be set up (nothing was sent), or its files not loaded
    MalformedAnswer,      // the answer is not a SOAP response the client can read
    InvalidArgument,      // a caller's argument or setting was refused; nothing was sent
};

// A short English description of `kind`, as what() uses it.
DADOVU_API const char* Describe(ErrorKind kind);

// The one exception type of Client. what() reads like
//   start 'webserver' at http://node17/dadovu.ctrl.server/lnkrpcserver: no component matches the target
// followed, where there are any, by ": " and the details joined by "; ".
// Copies share the (immutable) fields; copying never throws.
class DADOVU_API Error : public std::runtime_error {
public:
    // `operation`: the request's name ("start", "status", ...); `endpoint`:
    // its URI; `target` where the request has one; `resultCode` where the
    // daemon sent one; `details`: the underlying causes, outermost first.
    Error(ErrorKind kind, std::string operation, std::string endpoint, std::optional<std::string> target = {},
          std::optional<int> resultCode = {}, std::vector<std::string> details = {});
    Error(const Error& other) noexcept;
    Error& operator=(const Error& other) noexcept;
    ~Error() override;

    ErrorKind GetKind() const noexcept;
    const std::string& GetOperation() const noexcept;
    const std::string& GetEndpoint() const noexcept;
    const std::optional<std::string>& GetTarget() const noexcept;
    const std::optional<int>& GetResultCode() const noexcept;
    const std::vector<std::string>& GetDetails() const noexcept;
    // Whether the request reached the daemon but no verdict came back
    // (NoAnswer, MalformedAnswer): the daemon may have carried it out, so
    // repeating it may run it twice. False for the other kinds, whose outcome
    // is known: the daemon's verdict, or nothing sent.
    bool MayHaveActed() const noexcept {
        return GetKind() == ErrorKind::NoAnswer || GetKind() == ErrorKind::MalformedAnswer;
    }

private:
    struct Impl;
    std::shared_ptr<const Impl> impl_;
};

// ---------------------------------------------------------------------------
// Settings.

// Receives a line the client would log: severity and text. Called on the
// thread of the request; must be safe to call from several threads at once.
// Whatever it throws is caught and dropped.
using LogHook = std::function<void(Severity severity, std::string_view text)>;
// Receives a trace line: level (1 requests, 4 caught failures and refused
// arguments, 25 the client's connection setup) and text. As LogHook.
using TraceHook = std::function<void(int level, std::string_view text)>;

// The settings of a Client, given in code. A value type; setters return the
// object for chaining and throw only std::bad_alloc (values are checked when
// a Client is built from them). Not synchronised.
class DADOVU_API ClientSettings {
public:
    ClientSettings();
    ClientSettings(const ClientSettings& other);
    ClientSettings(ClientSettings&& other) noexcept;
    ClientSettings& operator=(const ClientSettings& other);
    ClientSettings& operator=(ClientSettings&& other) noexcept;
    ~ClientSettings();

    // Where requests go: the daemon's endpoint URI (http or https), or a node
    // name (a host with an optional ":port") whose endpoint is built as
    // Control builds it, https when SetSecure(true). The last one set counts;
    // the default is the node "localhost".
    ClientSettings& SetEndpoint(std::string uri);
    ClientSettings& SetNode(std::string node);
    // Require TLS: node endpoints use https, an http endpoint is refused
    // (ErrorKind::Tls) when the client is built, and the peer is verified
    // whatever SetVerifyPeer says. Default false.
    ClientSettings& SetSecure(bool secure);
    // The most a connect (resolution and TLS handshake included) may take
    // (default 5 s), and the deadline of a call given none (default 60 s).
    ClientSettings& SetConnectTimeout(std::chrono::milliseconds timeout);
    ClientSettings& SetCallTimeout(std::chrono::milliseconds timeout);
    // Certificate authorities that verify the daemon: a PEM file and/or a
    // hashed directory (`openssl rehash`). The system's when neither is set.
    ClientSettings& SetCaFile(std::string path);
    ClientSettings& SetCaDirectory(std::string path);
    // The client's certificate chain and key (PEM) for mutual TLS; an empty
    // key file means the key is in the certificate's file.
    ClientSettings& SetClientCertificate(std::string certificateFile, std::string keyFile = {});
    // Verify the daemon's certificate and name (default true).
    ClientSettings& SetVerifyPeer(bool verify);
    // The target ID sent with every request but "addcomponent" and
    // "deletecomponent"; empty for none (the default).
    ClientSettings& SetTargetId(std::string targetId);
    // The largest answer accepted (default 64 MiB, at most 2^31 - 1 bytes).
    ClientSettings& SetMaxResponseBytes(std::size_t bytes);
    // Kept-alive connections kept idle for later calls (default 256).
    ClientSettings& SetMaxIdleConnections(std::size_t count);
    // Close each connection after its call instead of keeping it alive.
    ClientSettings& SetCloseConnectionAfterUse(bool close);
    // Where the client's log lines and trace lines go; none by default, and
    // then the client writes nothing anywhere.
    ClientSettings& SetLogHook(LogHook hook);
    ClientSettings& SetTraceHook(TraceHook hook);

    struct Impl;
    const Impl& GetImpl() const;

private:
    Impl& Mutable();
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Clients.

// What a program asks of a node's control daemon. Client implements it; a
// program's tests may implement it too and hand their substitute to the code
// under test. Every call throws DaDovu::Error and nothing else but
// std::bad_alloc; the defaults of the parameters are the same in every
// implementation. Arguments are UTF-8 text (invalid UTF-8 is
// ErrorKind::InvalidArgument); results are UTF-8.
class DADOVU_API ClientInterface {
public:
    virtual ~ClientInterface();

    // Starts (stops) the components `target` selects and returns when the
    // daemon has done so.
    virtual void Start(std::string_view target, Deadline deadline = {}, StartMode mode = StartMode::Normal) = 0;
    virtual void Stop(std::string_view target, Deadline deadline = {}, StopMode mode = StopMode::Normal) = 0;
    // The same, answered at once with the command's ID; follow it with
    // Progress or Wait. Nothing of the call stays behind for a later one.
    virtual RequestId StartAsync(std::string_view target, Deadline deadline = {},
                                 StartMode mode = StartMode::Normal) = 0;
    virtual RequestId StopAsync(std::string_view target, Deadline deadline = {}, StopMode mode = StopMode::Normal) = 0;
    // Sends `event` with `value` to the components of `target` that subscribe to it.
    virtual void Notify(std::string_view event, std::string_view value, std::string_view target,
                        Deadline deadline = {}) = 0;
    // The status of the components `target` selects, as one formatted text.
    virtual std::string Status(std::string_view target, StatusLevel level = StatusLevel::States,
                               Deadline deadline = {}) = 0;
    // The same as records, in the daemon's order.
    virtual std::vector<Component> Components(std::string_view target, StatusLevel level = StatusLevel::Full,
                                              Deadline deadline = {}) = 0;
    // Which user the daemon's processes run as.
    virtual User GetUser(Deadline deadline = {}) = 0;
    // How far the command `id` has got. An unknown ID is a Progress in the
    // state UnknownRequest, not an error.
    virtual ::DaDovu::Progress Progress(RequestId id, Deadline deadline = {}) = 0;
    // Adds a component from the named definition file, or removes the named
    // component. A refusal is an Error with the daemon's result code.
    virtual void AddComponent(std::string_view fileName, Deadline deadline = {}) = 0;
    virtual void DeleteComponent(std::string_view componentName, Deadline deadline = {}) = 0;

    // Asks for the progress of `id` until the command is no longer running
    // or `deadline` has passed (a default Deadline: 60 s): at once, then
    // after 50 ms, the pause doubling up to 1 s; no request is started with
    // less than 50 ms left. Calls `onMessage` once for each message that this
    // wait has not delivered yet, in order, on the calling thread. Returns
    // the last Progress (still Running when the deadline came first, also
    // when it cut a request after the first short). An exception thrown by
    // `onMessage` ends the wait and reaches the caller unchanged; a failed
    // request ends it with its Error (the first request is always made). Every
    // implementation gets this one, built on Progress; a substitute may
    // override it (to answer without pauses, say).
    virtual ::DaDovu::Progress Wait(RequestId id, Deadline deadline,
                                    const std::function<void(const Message&)>& onMessage = {});

protected:
    ClientInterface() = default;
    ClientInterface(const ClientInterface&) = default;
    ClientInterface& operator=(const ClientInterface&) = default;
};

// A client of one control daemon, with its own settings and its own pool of
// kept-alive connections (and so its own TLS identity). Copies share the
// settings and the pool. Any number of threads may use one client, or its
// copies, at once; nothing is locked across a network call.
class DADOVU_API Client final : public ClientInterface {
public:
    // Throws Error: InvalidArgument for an endpoint that is not an http(s)
    // URI, a node name that is not a host, or a value out of range; Tls for a
    // secure client of an http endpoint, or a key file without a certificate.
    // The authorities, certificate and key are read by the first https
    // request (once for the client and its copies; an http request reads
    // none): a file that cannot be loaded fails that request, and each https
    // request after it until it loads, with Tls, naming the file and the
    // reason; nothing is sent.
    explicit Client(const ClientSettings& settings);
    // The settings of the node settings file, as Control reads them: the
    // namespace "lnk.http.ext.ctrl", "CERT_INSTALLED" of "sec.cm.certificates"
    // (which makes the client secure; a value that cannot be read counts as
    // installed) and "CLOSE_CONN_AFTER_USE" of "ctrl", read once here; the
    // call timeout is TIMEOUT_MS. `node` names the daemon's node. From
    // `extra` are taken the hooks and the target ID, which the file does not
    // hold, and, where set, what overrides the file's: the CA file and
    // directory, the client certificate and key, and SetSecure(true). Throws
    // Error as above, and InvalidArgument for settings that cannot be read.
    static Client FromNodeSettings(std::string_view node = "localhost", const ClientSettings& extra = {});

    Client(const Client& other);
    Client(Client&& other) noexcept;
    Client& operator=(const Client& other);
    Client& operator=(Client&& other) noexcept;
    ~Client() override;

    // The endpoint URI that requests go to.
    const std::string& GetEndpoint() const;

    // A client of another daemon: `node` is a node name, or an endpoint URI
    // (anything holding "://"). It shares this client's settings, hooks and
    // connection pool, and so its TLS identity; building it costs no TLS set-up.
    // Throws Error as the constructor does (InvalidArgument, Tls).
    Client ForNode(std::string_view node) const;

    void Start(std::string_view target, Deadline deadline = {}, StartMode mode = StartMode::Normal) override;
    void Stop(std::string_view target, Deadline deadline = {}, StopMode mode = StopMode::Normal) override;
    RequestId StartAsync(std::string_view target, Deadline deadline = {}, StartMode mode = StartMode::Normal) override;
    RequestId StopAsync(std::string_view target, Deadline deadline = {}, StopMode mode = StopMode::Normal) override;
    void Notify(std::string_view event, std::string_view value, std::string_view target,
                Deadline deadline = {}) override;
    std::string Status(std::string_view target, StatusLevel level = StatusLevel::States,
                       Deadline deadline = {}) override;
    std::vector<Component> Components(std::string_view target, StatusLevel level = StatusLevel::Full,
                                      Deadline deadline = {}) override;
    User GetUser(Deadline deadline = {}) override;
    ::DaDovu::Progress Progress(RequestId id, Deadline deadline = {}) override;
    void AddComponent(std::string_view fileName, Deadline deadline = {}) override;
    void DeleteComponent(std::string_view componentName, Deadline deadline = {}) override;

    struct Impl;

private:
    explicit Client(std::shared_ptr<const Impl> impl);
    std::shared_ptr<const Impl> impl_;
};

}  // namespace DaDovu
