// A scriptable SOAP 1.1 daemon for tests: listens on 127.0.0.1 with an
// ephemeral port, over HTTP or HTTPS, records every request and answers what
// the test scripts. Built on cpp-httplib; byte-level faults (a connection
// dropped after the request, a response cut short, a peer that never answers
// or drips) are served by RawDaemon below, which controls the socket itself.
//
// Thread-safe: the test thread scripts and inspects while server threads serve.
// Creating a daemon sets SIGPIPE to be ignored in the whole process, so that a
// write to a connection its client has given up fails instead of killing it.
//
// A Result/Empty reply to the request "start" in namespace "urn:x" is:
//   <?xml version="1.0" encoding="UTF-8"?>
//   <soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/"
//    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
//    xmlns:xsd="http://www.w3.org/2001/XMLSchema"
//    soap:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><soap:Body>
//   <m:startResponse xmlns:m="urn:x"><result xsi:type="xsd:int">0</result>
//   </m:startResponse></soap:Body></soap:Envelope>
// (written without line breaks after the XML declaration). A Fault is
//   <soap:Envelope ...><soap:Body><soap:Fault><faultcode>soap:Server</faultcode>
//   <faultstring>text</faultstring></soap:Fault></soap:Body></soap:Envelope>
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace SoapTest {

// One request as the daemon received it. Texts are UTF-8.
struct RecordedRequest {
    std::string path;                                  // request target, e.g. "/x/lnkrpcserver"
    std::map<std::string, std::string> headers;        // names in lower case
    std::string body;                                  // the raw envelope
    std::string method;                                // local name of the Body's element
    std::string methodNamespace;                       // its namespace URI
    // Arguments in document order: local name -> text content (for elements
    // with child elements, their inner XML as received: the exact bytes
    // between the argument's start and end tags).
    std::vector<std::pair<std::string, std::string>> args;
    // local name -> xsi:type value as written (e.g. "xsd:int"); one entry per
    // argument, in the same order as args, "" for an argument without one.
    std::vector<std::pair<std::string, std::string>> argTypes;
    std::optional<std::string> targetId;               // SOAP Header "TargetID", when present
    std::string remote;                                // "addr:port" of the client's connection
    bool xmlWellFormed = false;                        // the body parsed as XML
    // One-line subject of the client certificate (X509_NAME_oneline, e.g.
    // "/CN=dadovu-test-client"), "" when none was presented or over HTTP.
    std::string clientSubject;

    // The text of the first argument named `name`, or nullopt.
    std::optional<std::string> Arg(const std::string& name) const;
    std::vector<std::string> ArgNames() const;
    std::string Header(const std::string& lowerName) const;  // "" when absent
};

// What the daemon answers to one request.
class Reply {
public:
    // <methodResponse> with <result xsi:type="xsd:int">code</result>.
    static Reply Result(int code);
    // <methodResponse> with no outputs at all.
    static Reply Empty();
    // A SOAP 1.1 Fault with the given faultcode and faultstring, HTTP 500.
    static Reply Fault(const std::string& faultString, const std::string& faultCode = "soap:Server",
                       int httpStatus = 500);
    // A raw body with the given HTTP status and content type.
    static Reply Raw(std::string body, int httpStatus = 200,
                     std::string contentType = "text/xml; charset=utf-8");

    // Adds an output element to a Result/Empty reply, in order (ignored by
    // Fault and Raw replies). `text` is escaped; RawOutput inserts `innerXml`
    // unescaped. An empty `xsiType` writes no xsi:type attribute.
    Reply& Output(const std::string& name, const std::string& text, const std::string& xsiType = "xsd:string");
    Reply& RawOutput(const std::string& name, const std::string& innerXml, const std::string& xsiType = "");
    // Uses `prefix` (declared for the response namespace) on the response
    // element instead of the default; outputs stay unqualified.
    Reply& ResponsePrefix(const std::string& prefix);
    // Sends "Connection: close" and closes the connection after the answer.
    Reply& CloseConnection();

    // The full HTTP body this reply sends (for inspection and for RawDaemon).
    // Body() names the response element "methodResponse" in the namespace
    // "urn:dadovu-test-daemon"; the daemon answers a request with
    // Body(request.method, request.methodNamespace), e.g. <m:startResponse>.
    std::string Body() const;
    std::string Body(const std::string& method, const std::string& methodNamespace) const;
    int HttpStatus() const { return status_; }
    const std::string& ContentType() const { return contentType_; }
    bool ClosesConnection() const { return close_; }

private:
    int status_ = 200;
    std::string contentType_ = "text/xml; charset=utf-8";
    std::optional<std::string> raw_;  // the whole body of Fault and Raw replies
    std::string prefix_ = "m";
    std::vector<std::string> outputs_;  // serialised output elements
    bool close_ = false;
};

// TLS material for a daemon: PEM file paths.
struct TlsFiles {
    std::string certFile;
    std::string keyFile;
    std::string clientCaFile;  // when set, a client certificate is asked for and verified
    bool requireClientCert = false;
};

// Serves up to 32 connections at once (more wait for a free server thread)
// and keeps idle connections open for 30 s.
class TestDaemon {
public:
    // HTTP daemon, or HTTPS when `tls` is given. Starts listening at once;
    // throws std::runtime_error when it cannot.
    TestDaemon();
    explicit TestDaemon(const TlsFiles& tls);
    ~TestDaemon();  // stops and joins the server threads
    TestDaemon(const TestDaemon&) = delete;
    TestDaemon& operator=(const TestDaemon&) = delete;

    int Port() const;
    // "http://127.0.0.1:<port><path>" (https for a TLS daemon).
    std::string Uri(const std::string& path = "/dadovu.ctrl.server/lnkrpcserver") const;
    std::string Uri(const std::string& host, const std::string& path) const;

    // Replies are taken from the queue in order; when it is empty the handler
    // answers (default: Reply::Result(0)).
    void Enqueue(Reply reply);
    void SetHandler(std::function<Reply(const RecordedRequest&)> handler);

    std::vector<RecordedRequest> Requests() const;
    std::size_t RequestCount() const;
    // Blocks until `count` requests arrived or `timeout` passed; returns whether they did.
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // Distinct TCP connections that carried at least one request.
    std::size_t ConnectionCount() const;
    // The subject of the client certificate of the last request ("" when none),
    // in one-line form (X509_NAME_oneline), e.g. "/CN=dadovu-test-client".
    std::string LastClientSubject() const;
    void ClearRecords();
    // Stops listening and closes every connection at once, idle kept-alive
    // ones included; later requests are refused. Waits for handlers still
    // running. Idempotent; the destructor calls it.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A plain-TCP daemon on 127.0.0.1 that serves each connection with a scripted
// byte-level behaviour, for transport faults. Every connection is served on
// its own thread; each first reads one complete request (head, then as many
// body bytes as its Content-Length says) before acting. Closing is graceful
// (FIN) except in DropAfterRequest. The destructor returns within a few tens
// of milliseconds even while clients are connected. Thread-safe.
class RawDaemon {
public:
    enum class Mode {
        NeverAnswer,      // read the request, then say nothing until stopped
        DropAfterRequest, // read the whole request, then close (RST) without answering
        Partial,          // send the first `partialBytes` of `reply` (default: half), then close
        Drip,             // send `reply` one byte every `dripInterval` (default 50 ms), then close
        Verbatim,         // send `reply` as is, then close
        CloseIdle,        // answer each request with `reply` (kept alive), then close the
                          // connection `idleClose` (default 200 ms) after the last answer
        Pieces,           // answer the n-th request (from 0, over all connections) with the
                          // pieces SetPieces gives for n, kept alive; none: close
    };
    explicit RawDaemon(Mode mode, std::string reply = {});
    ~RawDaemon();  // stops and joins
    RawDaemon(const RawDaemon&) = delete;
    RawDaemon& operator=(const RawDaemon&) = delete;

    void SetPartialBytes(std::size_t bytes);
    void SetDripInterval(std::chrono::milliseconds interval);
    void SetIdleClose(std::chrono::milliseconds after);
    // The answer of each request in Pieces mode: each piece is sent on its
    // own, after a pause of `pause` (default 1 ms) that lets the client read
    // the one before; an empty piece closes the connection. Called on the
    // connection's thread; set before use.
    void SetPieces(std::function<std::vector<std::string>(std::size_t request)> pieces);
    void SetPiecePause(std::chrono::microseconds pause);

    int Port() const;
    std::string Uri(const std::string& path = "/dadovu.ctrl.server/lnkrpcserver") const;
    // Requests (complete HTTP heads seen) and connections accepted so far.
    std::size_t RequestCount() const;
    std::size_t ConnectionCount() const;

    // A full HTTP/1.1 200 response carrying `body` (Content-Length set).
    static std::string HttpResponse(const std::string& body);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace SoapTest
