// The exceptions of the communication library and the base of its handles.

#include <qxlnk/core.h>
#include <qxlnk/exceptions.h>

#include <qxpal/message.h>

namespace QxLnkCore {

Object::~Object() = default;

}  // namespace QxLnkCore

namespace QxLnkRpc {

RpcException::RpcException(const QxPalMsg::Message_t& message) : RuntimeException_t(message) {}
RpcException::~RpcException() = default;

RpcUnsentException::RpcUnsentException(const QxPalMsg::Message_t& message) : RpcException(message) {}
RpcUnsentException::~RpcUnsentException() = default;

RpcTlsException::RpcTlsException(const QxPalMsg::Message_t& message) : RpcUnsentException(message) {}
RpcTlsException::~RpcTlsException() = default;

RpcResponseException::RpcResponseException(const QxPalMsg::Message_t& message) : RpcException(message) {}
RpcResponseException::~RpcResponseException() = default;

}  // namespace QxLnkRpc

namespace QxLnkSoap {

SoapException::SoapException(const QxPalMsg::Message_t& message) : RuntimeException_t(message) {}
SoapException::~SoapException() = default;

SoapFaultException::SoapFaultException(const QxPalStr::String_t& faultCode,
                                       const QxPalStr::String_t& faultString)
    : SoapException(QxPalMsg::CreateMessage_t(QxPalMsg::SEVERITY_ERROR, faultString)),
      faultCode_(faultCode),
      faultString_(faultString) {}

SoapFaultException::~SoapFaultException() = default;

}  // namespace QxLnkSoap
