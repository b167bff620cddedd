// QxLnkMsg: the messenger that carries requests.
#pragma once

#include <qxlnk/core.h>
#include <qxlnk/export.h>
#include <qxpal/config.h>

namespace QxLnkMsg {

// A handle to a messenger: its settings and a thread-safe pool of kept-alive
// connections. Copies share the messenger, and so the pool.
//
// Settings (typically the namespace "lnk.http.ext.ctrl"), read once when built:
//   CONNECT_TIMEOUT_MS (5000), TIMEOUT_MS per call (60000), CA_FILE and
//   CA_DIR (a hashed directory, as made by `openssl rehash`; the system's
//   authorities when neither is set, loaded by the first TLS connection),
//   CLIENT_CERT and CLIENT_KEY (mutual TLS), VERIFY_PEER (true; only "false"
//   or another false word turns it off, an empty value does not),
//   MAX_RESPONSE_BYTES (64 MiB, at most 2^31 - 1), MAX_IDLE_CONNECTIONS kept
//   alive for later calls, over all hosts (256; the longest idle is closed first).
class QXLNK_API Messenger : public QxLnkCore::Object {
public:
    class QXLNK_API Options {
    public:
        Options& SendOnly(bool on) { sendOnly_ = on; return *this; }
        Options& RegisterWithCb(bool on) { registerWithCb_ = on; return *this; }
        bool IsSendOnly() const { return sendOnly_; }
        bool IsRegisteredWithCb() const { return registerWithCb_; }

    private:
        bool sendOnly_ = false;
        bool registerWithCb_ = true;
    };

    // An empty handle (IsValid() false); requests through it fail with RpcException.
    Messenger();
    // Throws IllegalArgumentError_t for a setting that does not parse, and
    // RpcTlsException (an RpcException) for CLIENT_KEY without CLIENT_CERT.
    // The authorities, certificate and key files are read when the first TLS
    // connection is opened, once for the messenger and its copies (a plain
    // HTTP call reads none of them): a file that cannot be loaded fails that
    // call, and every TLS call after it until it loads, with RpcTlsException
    // naming the file and the reason. No connection is ever made unverified
    // for want of them.
    Messenger(const QxPalConfig::Configuration_t& settings, const Options& options);
    Messenger(const Messenger&) = default;
    Messenger& operator=(const Messenger&) = default;
    ~Messenger() override;

    struct Impl;
    Impl* GetImpl() const { return static_cast<Impl*>(impl_.get()); }
};

}  // namespace QxLnkMsg
