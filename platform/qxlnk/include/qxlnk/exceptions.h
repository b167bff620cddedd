// Exceptions of the communication library.
#pragma once

#include <qxlnk/export.h>
#include <qxpal/exception.h>

namespace QxLnkRpc {

// The request could not be sent or its answer not received: connection refused,
// name resolution, TLS, timeout, HTTP status other than 200/500, a connection
// closed or reset after the request was written (the request is never resent).
// The message names the transport's reason and the URI. Thrown as itself when
// the request was sent and no complete answer came (the peer may have acted);
// the classes below tell the other stages apart.
class QXLNK_API RpcException : public QxPalMsg::RuntimeException_t {
public:
    explicit RpcException(const QxPalMsg::Message_t& message);
    RpcException(const RpcException&) = default;
    RpcException& operator=(const RpcException&) = default;
    ~RpcException() override;
};

// Nothing of the request reached the peer: the name did not resolve, the
// connect failed or timed out, or the call had no time left to send. The peer
// cannot have acted on the request.
class QXLNK_API RpcUnsentException : public RpcException {
public:
    explicit RpcUnsentException(const QxPalMsg::Message_t& message);
    RpcUnsentException(const RpcUnsentException&) = default;
    RpcUnsentException& operator=(const RpcUnsentException&) = default;
    ~RpcUnsentException() override;
};

// The TLS session could not be set up (the peer's certificate refused, no
// common protocol, a client certificate the peer would not take), or secure
// communication was required of an http URI. Nothing was sent.
class QXLNK_API RpcTlsException : public RpcUnsentException {
public:
    explicit RpcTlsException(const QxPalMsg::Message_t& message);
    RpcTlsException(const RpcTlsException&) = default;
    RpcTlsException& operator=(const RpcTlsException&) = default;
    ~RpcTlsException() override;
};

// The request was sent and the peer answered, but not with an HTTP response
// that carries a SOAP answer: an HTTP status other than 200 and 500, or
// broken HTTP framing.
class QXLNK_API RpcResponseException : public RpcException {
public:
    explicit RpcResponseException(const QxPalMsg::Message_t& message);
    RpcResponseException(const RpcResponseException&) = default;
    RpcResponseException& operator=(const RpcResponseException&) = default;
    ~RpcResponseException() override;
};

}  // namespace QxLnkRpc

namespace QxLnkSoap {

// The response is not well-formed XML, not a SOAP envelope, carries a DOCTYPE,
// nests elements more than 256 levels deep, or exceeds the size limit. The
// message names the reason and the position.
class QXLNK_API SoapException : public QxPalMsg::RuntimeException_t {
public:
    explicit SoapException(const QxPalMsg::Message_t& message);
    SoapException(const SoapException&) = default;
    SoapException& operator=(const SoapException&) = default;
    ~SoapException() override;
};

// A SOAP 1.1 Fault. Its one message's plain text (FORMAT_PLAIN) is exactly the
// faultstring. Derives from SoapException, not from RpcException.
class QXLNK_API SoapFaultException : public SoapException {
public:
    SoapFaultException(const QxPalStr::String_t& faultCode, const QxPalStr::String_t& faultString);
    SoapFaultException(const SoapFaultException&) = default;
    SoapFaultException& operator=(const SoapFaultException&) = default;
    ~SoapFaultException() override;

    const QxPalStr::String_t& GetFaultCode() const { return faultCode_; }
    const QxPalStr::String_t& GetFaultString() const { return faultString_; }

private:
    QxPalStr::String_t faultCode_;
    QxPalStr::String_t faultString_;
};

}  // namespace QxLnkSoap
