// gsoap_client: the same requests through a client that gSOAP generated from
// the simulator's WSDL (tools/sim/dadovu-control.wsdl) at build time, used as
// its documentation shows: one context per thread, kept alive
// (SOAP_IO_KEEPALIVE) unless --close, and soap_destroy + soap_end after each
// call to free what the call deserialised.
//
//   gsoap_client --uri URI [--scenario start|status|statusaslist] ...   (options: BenchRun.h)
#include "soapH.h"

#include "ControlBinding.nsmap"

#include <memory>
#include <stdexcept>
#include <string>

#include "BenchRun.h"

namespace {

struct SoapDeleter {
    void operator()(struct soap* context) const {
        soap_destroy(context);
        soap_end(context);
        soap_free(context);
    }
};

// Frees what the call allocated, also when it failed; throws for a failure.
void Finish(struct soap* context, int status) {
    std::string error;
    if (status != SOAP_OK) {
        const char* const* reason = soap_faultstring(context);
        error = "gSOAP error " + std::to_string(context->error) + ": " +
                (reason != nullptr && *reason != nullptr ? *reason : "");
    }
    soap_destroy(context);
    soap_end(context);
    if (!error.empty()) throw std::runtime_error(error);
}

}  // namespace

int main(int argc, char** argv) {
    const Bench::Config config = Bench::ParseArgs(argc, argv, "gsoap");

    return Bench::Run(config, [&]() -> Bench::Request {
        auto context = std::shared_ptr<struct soap>(soap_new1(config.close ? SOAP_IO_DEFAULT : SOAP_IO_KEEPALIVE),
                                                    SoapDeleter());
        if (context == nullptr) throw std::runtime_error("soap_new1 failed");
        const char* endpoint = config.uri.c_str();
        if (config.scenario == "start") {
            return [=] {
                int result = -1;
                Finish(context.get(), soap_call_ns1__start(context.get(), endpoint, nullptr, config.target, "false",
                                                           "false", result));
                if (result != 0) throw std::runtime_error("start answered " + std::to_string(result));
                return 1L;
            };
        }
        if (config.scenario == "status") {
            return [=] {
                ns1__statusResponse response;
                const int status =
                    soap_call_ns1__status(context.get(), endpoint, nullptr, config.level, config.target, response);
                const long received = response.status.empty() ? 0L : 1L;
                Finish(context.get(), status);
                return received;
            };
        }
        return [=] {
            ns1__statusaslistResponse response;
            const int status =
                soap_call_ns1__statusaslist(context.get(), endpoint, nullptr, config.level, config.target, response);
            const long records =
                response.complist != nullptr ? static_cast<long>(response.complist->ctrlcomp.size()) : 0L;
            Finish(context.get(), status);
            return records;
        };
    });
}
