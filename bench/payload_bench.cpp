// Payload benchmarks: writing a request envelope, parsing responses with the
// "cclist" and "msglist" arguments, and (with the test daemon) whole
// "statusaslist" requests.
//
//   payload_bench [Google Benchmark options]
//   payload_bench --memory <components> [--build-only]
//       builds a "statusaslist" response of that many components, parses it
//       once into a caller's list (unless --build-only) and prints the peak
//       resident set size, so that memory growth can be compared across sizes.
//
// At 100,000 components each iteration allocates and frees tens of megabytes;
// glibc hands them back to the kernel between iterations, so the large sizes
// also pay page faults that a long-running client pays only once. To see the
// library's own cost per component, run with
//   GLIBC_TUNABLES=glibc.malloc.trim_threshold=1073741824:glibc.malloc.mmap_threshold=1073741824
#include <benchmark/benchmark.h>
#include <dadovu/Control.h>
#include <dadovu/ControlComponentList.h>
#include <qxlnk/soap.h>
#include <qxpal/message.h>
#include <qxpal/string.h>
#include <qxpal/uri.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "api/ControlComponentListImpl.h"
#include "engine/ControlImpl.h"
#include "soap/SOAPArgControlComponentList.h"
#include "soap/SOAPArgControlMessageList.h"

#ifdef DADOVU_BENCH_WITH_DAEMON
#include "TestDaemon.h"
#endif

namespace {

using DaDovu::ControlComponent;
using QxPalStr::String_t;

const String_t kResult("result");
const String_t kComplist("complist");
const String_t kMsgList("MsgList");

// A SOAP 1.1 response envelope for `method` with `outputs` (serialised output
// elements) inside its response element.
std::string ResponseEnvelope(const std::string& method, const std::string& outputs) {
    std::string body;
    body.reserve(outputs.size() + 512);
    body +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
        " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
        " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
        "<SOAP-ENV:Body><m:";
    body += method;
    body += "Response xmlns:m=\"";
    body += QxLnkSoap::SERVICE_NAMESPACE;
    body += "\">";
    body += outputs;
    body += "</m:";
    body += method;
    body += "Response></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return body;
}

// The content of a "complist" with `count` components of typical size.
std::string ComplistContent(int count) {
    std::string inner;
    inner.reserve(static_cast<std::size_t>(count) * 330);
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        inner += "<ctrlcomp><name>component-";
        inner += n;
        inner += "</name><description>Supervised service number ";
        inner += n;
        inner += " of the node</description><category>services</category><pid>";
        inner += std::to_string(10000 + i);
        inner += "</pid><xml>&lt;component name=\"component-";
        inner += n;
        inner += "\" start=\"auto\"&gt;&lt;prereq name=\"base\"/&gt;&lt;/component&gt;</xml><state>";
        inner += std::to_string(i % 5);
        inner += "</state></ctrlcomp>";
    }
    return inner;
}

std::string StatusAsListResponse(int count) {
    return ResponseEnvelope("statusaslist", "<result xsi:type=\"xsd:int\">0</result>"
                                            "<complist xsi:type=\"m:cclist\">" +
                                                ComplistContent(count) + "</complist>");
}

std::string ProgressResponse(int count) {
    std::string inner;
    for (int i = 0; i < count; ++i) {
        inner += "<Message><Severity>" + std::to_string(i % 3) +
                 "</Severity><Catalog><CatalogID>ctrl</CatalogID><MsgNo>" + std::to_string(100 + i % 50) +
                 "</MsgNo></Catalog><MsgString>Component 'component-" + std::to_string(i) +
                 "' reached state running.</MsgString><Params><Param>component-" + std::to_string(i) +
                 "</Param><Param>running</Param></Params></Message>";
    }
    return ResponseEnvelope("requestprogress", "<result xsi:type=\"xsd:int\">0</result>"
                                               "<MsgList xsi:type=\"m:msglist\">" +
                                                   inner + "</MsgList>");
}

// Parses a "statusaslist" response into `records`, as the list status request does.
void ParseStatusAsList(const std::string& body, std::list<ControlComponent>& records) {
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(kResult, &result);
    resultArg.SetTypeAttribute();
    DaDovu::SOAPArgControlComponentList complist(kComplist, records);
    complist.SetTypeAttribute();
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &complist};
    QxLnkSoap::ParseResponseEnvelope(body, 2, outputs, std::size_t{1} << 30);
    benchmark::DoNotOptimize(result);
}

void BM_WriteStartRequest(benchmark::State& state) {
    const QxLnkSoap::SOAPArgUnicodeString target(String_t("target"), String_t("component-42"));
    const QxLnkSoap::SOAPArgUnicodeString boot(String_t("boot"), String_t("0"));
    const QxLnkSoap::SOAPArgUnicodeString async(String_t("async"), String_t("1"));
    const QxLnkSoap::SOAPArg* args[] = {&target, &boot, &async};
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string envelope = QxLnkSoap::WriteRequestEnvelope("start", 3, args, nullptr);
        bytes += envelope.size();
        benchmark::DoNotOptimize(envelope.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteStartRequest);

void BM_ParseStartResponse(benchmark::State& state) {
    const std::string body = ResponseEnvelope("start", "<result xsi:type=\"xsd:int\">0</result>");
    for (auto _ : state) {
        int result = -1;
        QxLnkSoap::SOAPArgInt resultArg(kResult, &result);
        QxLnkSoap::SOAPArg* outputs[] = {&resultArg};
        QxLnkSoap::ParseResponseEnvelope(body, 1, outputs);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(body.size()) * state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseStartResponse);

// Parsing alone: the records end up in the request's own list.
void BM_ParseStatusAsList(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string body = StatusAsListResponse(count);
    for (auto _ : state) {
        std::list<ControlComponent> records;
        ParseStatusAsList(body, records);
        if (records.size() != static_cast<std::size_t>(count)) state.SkipWithError("wrong record count");
    }
    state.SetBytesProcessed(static_cast<int64_t>(body.size()) * state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(count) * state.iterations());
    state.counters["body_bytes"] = static_cast<double>(body.size());
    state.counters["ns_per_component"] = benchmark::Counter(
        static_cast<double>(count) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseStatusAsList)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Parsing and handing the records to a caller's list, as the list status
// request does after the call (AddElements: moved, not copied).
void BM_ParseStatusAsListIntoCallerList(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string body = StatusAsListResponse(count);
    for (auto _ : state) {
        std::list<ControlComponent> records;
        ParseStatusAsList(body, records);
        DaDovu::ControlComponentList list;
        DaDovu::ControlComponentListImpl* impl = DaDovu::ControlComponentListImpl::GetImpl(list);
        impl->AddElements(records);
        if (impl->Size() != static_cast<std::size_t>(count)) state.SkipWithError("wrong record count");
    }
    state.SetBytesProcessed(static_cast<int64_t>(body.size()) * state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(count) * state.iterations());
    state.counters["ns_per_component"] = benchmark::Counter(
        static_cast<double>(count) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseStatusAsListIntoCallerList)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_WriteComponentList(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::list<ControlComponent> records;
    ParseStatusAsList(StatusAsListResponse(count), records);
    DaDovu::SOAPArgControlComponentList complist(kComplist, records);
    complist.SetTypeAttribute();
    const QxLnkSoap::SOAPArg* args[] = {&complist};
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string envelope = QxLnkSoap::WriteRequestEnvelope("statusaslist", 1, args, nullptr);
        bytes += envelope.size();
        benchmark::DoNotOptimize(envelope.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetItemsProcessed(static_cast<int64_t>(count) * state.iterations());
}
BENCHMARK(BM_WriteComponentList)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_ParseRequestProgress(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string body = ProgressResponse(count);
    QxPalMsg::MessageList_t messages;
    for (auto _ : state) {
        int result = -1;
        QxLnkSoap::SOAPArgInt resultArg(kResult, &result);
        DaDovu::SOAPArgControlMessageList msgList(kMsgList, messages);
        QxLnkSoap::SOAPArg* outputs[] = {&resultArg, &msgList};
        QxLnkSoap::ParseResponseEnvelope(body, 2, outputs);
        if (messages.GetMessageCount() != count) state.SkipWithError("wrong message count");
    }
    state.SetBytesProcessed(static_cast<int64_t>(body.size()) * state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(count) * state.iterations());
}
BENCHMARK(BM_ParseRequestProgress)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

#ifdef DADOVU_BENCH_WITH_DAEMON
// Whole "statusaslist" requests against the test daemon on 127.0.0.1: items
// per second are requests per second.
void BM_StatusAsListRequest(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    SoapTest::TestDaemon daemon;
    // The body is made once; the daemon only copies it into each answer.
    const std::string body =
        SoapTest::Reply::Result(0).RawOutput("complist", ComplistContent(count), "cclist").Body();
    daemon.SetHandler([&body](const SoapTest::RecordedRequest&) { return SoapTest::Reply::Raw(body); });
    const QxPalNet::URI_t uri(daemon.Uri().c_str());
    const DaDovu::Control::Options options;
    for (auto _ : state) {
        DaDovu::ControlComponentList list;
        DaDovu::ControlImpl_t::Status(DaDovu::Control::STATUS_FULL, String_t("all"), options, list, uri);
        if (DaDovu::ControlComponentListImpl::GetImpl(list)->Size() != static_cast<std::size_t>(count))
            state.SkipWithError("wrong record count");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["components_per_s"] = benchmark::Counter(
        static_cast<double>(count) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["ns_per_component"] = benchmark::Counter(
        static_cast<double>(count) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    daemon.Stop();
}
BENCHMARK(BM_StatusAsListRequest)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond)->UseRealTime();
#endif

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int MemoryMode(int count, bool parse) {
    const std::string body = StatusAsListResponse(count);
    const long afterBuild = PeakRssKiB();
    std::size_t records = 0;
    if (parse) {
        std::list<ControlComponent> parsed;
        ParseStatusAsList(body, parsed);
        DaDovu::ControlComponentList list;
        DaDovu::ControlComponentListImpl* impl = DaDovu::ControlComponentListImpl::GetImpl(list);
        impl->AddElements(parsed);
        records = impl->Size();
    }
    std::printf("components=%d body_bytes=%zu records=%zu peak_rss_after_build_kib=%ld peak_rss_kib=%ld\n", count,
                body.size(), records, afterBuild, PeakRssKiB());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--memory") == 0) {
        const bool parse = !(argc >= 4 && std::strcmp(argv[3], "--build-only") == 0);
        return MemoryMode(std::atoi(argv[2]), parse);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
