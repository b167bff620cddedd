// The response parser a connection keeps, built from its sources: a response
// holding one 32 MiB comment token, parsed in one piece and in 1 KiB pieces as
// a slow network delivers it. With Expat's reparse deferral (as the library
// has it), the time stays linear in the size however the response is cut;
// with deferral off, each piece re-scans the unfinished token (shown on a
// smaller token, as the full one would take minutes).
#include "EnvelopeParser.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string ResponseWithComment(std::size_t commentBytes) {
    std::string body =
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:statusResponse "
        "xmlns:m=\"urn:qxlnk:rpc\"><result>0</result><!--";
    body.append(commentBytes, 'c');
    body += "--><status>running</status></m:statusResponse></s:Body></s:Envelope>";
    return body;
}

void ParseInPieces(benchmark::State& state, QxLnkSoap::ReparseDeferral deferral, std::size_t commentBytes) {
    QxLnkSoap::SetReparseDeferral(deferral);
    const std::string body = ResponseWithComment(commentBytes);
    const auto piece = static_cast<std::size_t>(state.range(0));
    QxLnkImpl::EnvelopeParser parser;
    int result = -1;
    QxLnkSoap::SOAPArgInt resultArg(QxPalStr::String_t("result").Data(), &result);
    QxLnkSoap::SOAPArg* outputs[] = {&resultArg};
    for (auto _ : state) {
        parser.Begin(1, outputs);
        bool fed = true;
        for (std::size_t at = 0; fed && at < body.size(); at += piece) {
            const std::size_t size = body.size() - at < piece ? body.size() - at : piece;
            fed = parser.Feed(body.data() + at, size, at + size == body.size());
        }
        if (!fed) state.SkipWithError("refused");
        parser.CheckResult();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    QxLnkSoap::SetReparseDeferral(QxLnkSoap::ReparseDeferral::Library);
}

constexpr std::size_t kToken = std::size_t{32} << 20;
constexpr std::size_t kSmallToken = std::size_t{2} << 20;

void BM_Token32MiB_Deferral(benchmark::State& state) { ParseInPieces(state, QxLnkSoap::ReparseDeferral::Library, kToken); }
void BM_Token2MiB_Deferral(benchmark::State& state) { ParseInPieces(state, QxLnkSoap::ReparseDeferral::Library, kSmallToken); }
void BM_Token2MiB_DeferralOff(benchmark::State& state) { ParseInPieces(state, QxLnkSoap::ReparseDeferral::Off, kSmallToken); }

// Argument: the piece size; the first is the whole response at once.
BENCHMARK(BM_Token32MiB_Deferral)->Arg(64 << 20)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Token2MiB_Deferral)->Arg(64 << 20)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Token2MiB_DeferralOff)->Arg(64 << 20)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
