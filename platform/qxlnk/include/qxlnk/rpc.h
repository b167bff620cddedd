// QxLnkRpc: RPC clients and calls (SOAP 1.1 RPC over HTTP/1.1 and HTTPS).
//
// Wire format: POST to the URI's path, Content-Type "text/xml; charset=utf-8",
// SOAPAction "\"urn:qxlnk:rpc#<method>\"" (SERVICE_NAMESPACE, '#', the method),
// User-Agent "APP_NAME/APP_VERSION". The Body
// holds one element named by the method in SERVICE_NAMESPACE, with the input
// arguments as unqualified children in the order given, each with its xsi:type.
// A target ID travels as the SOAP Header element "TargetID".
#pragma once

#include <qxlnk/core.h>
#include <qxlnk/exceptions.h>
#include <qxlnk/export.h>
#include <qxlnk/messenger.h>
#include <qxlnk/soap.h>
#include <qxpal/config.h>
#include <qxpal/uri.h>

#include <chrono>
#include <memory>

namespace QxLnkRpc {

// The response of an invoked call. Nothing needs to be read from it: the
// outputs are filled during Invoke.
class QXLNK_API RpcResponse {
public:
    int GetHttpStatus() const { return httpStatus_; }
    explicit RpcResponse(int httpStatus = 0) : httpStatus_(httpStatus) {}

private:
    int httpStatus_;
};

// One remote call: a handle (copies share the call) and an envelope.
// REQUIRES: one call is used by one thread at a time.
class QXLNK_API RpcCall : public QxLnkCore::Object, public QxLnkSoap::SOAPEnvelope {
public:
    class QXLNK_API Options {
    public:
        Options();
        Options(const Options&);
        Options& operator=(const Options&);
        ~Options();
        void SetTargetID(const QxPalStr::String_t& targetId);
        bool HasTargetID() const { return hasTargetId_; }
        const QxPalStr::String_t& GetTargetID() const { return targetId_; }

    private:
        QxPalStr::String_t targetId_;
        bool hasTargetId_ = false;
    };

    RpcCall();
    RpcCall(const RpcCall&);
    RpcCall& operator=(const RpcCall&);
    ~RpcCall() override;

    // Sends "Connection: close" and does not pool the connection afterwards.
    void SetConnectionClose();
    // Ends the call by `deadline` at the latest, name resolution, connect and
    // TLS handshake included, in place of the messenger's TIMEOUT_MS; the
    // connect stage keeps CONNECT_TIMEOUT_MS when that ends earlier. A
    // deadline already passed fails the call with RpcUnsentException before
    // anything is sent.
    void SetDeadline(std::chrono::steady_clock::time_point deadline);

    // Sends the request, waits for the response within the messenger's
    // TIMEOUT_MS and fills each output from the response element of its name;
    // outputs the response lacks are left untouched. `encoding` must be "UTF-8".
    // Outputs are filled as the response arrives: after an exception they may
    // hold values of a response that then failed.
    // Throws: IllegalArgumentError_t (text XML cannot carry, a URI with white
    // space or controls; nothing is sent), RpcException (transport: its
    // subclasses RpcUnsentException and RpcTlsException when nothing was
    // sent, RpcResponseException for an answer that is not a SOAP response),
    // SoapFaultException (a Fault), SoapException (malformed or oversized response).
    RpcResponse Invoke(int count, QxLnkSoap::SOAPArg* const* outputs, const char* encoding);

    struct Impl;

private:
    friend class RpcClient;
    explicit RpcCall(std::shared_ptr<Impl> impl);
    Impl* GetImpl() const;
};

// Creates calls. Reads APP_NAME, APP_VERSION and SECURE_COMM from the given
// attributes: with SECURE_COMM = "SSL" every call goes over verified TLS and an
// http URI fails with RpcException before anything is sent. Cheap to build.
// The constructor throws IllegalArgumentError_t when APP_NAME or APP_VERSION
// holds a control character (it would break the HTTP head).
class QXLNK_API RpcClient {
public:
    RpcClient(const QxPalConfig::Configuration_t& attributes, const QxLnkMsg::Messenger& messenger);
    ~RpcClient();
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;

    // A call of `method` at `uri`. IllegalArgumentError_t for a URI that is not
    // http(s) or carries white space or control characters.
    RpcCall CreateCall(const char* method, const QxPalNet::URI_t& uri, const RpcCall::Options& options) const;

private:
    QxLnkMsg::Messenger messenger_;
    std::string userAgent_;
    bool secure_ = false;
};

}  // namespace QxLnkRpc
