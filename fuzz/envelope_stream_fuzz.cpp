// Fuzz target: one response parser reused across several responses, as a
// kept-alive connection uses it, fed in pieces, against a fresh parser fed each
// response whole; with Expat's reparse deferral on and off.
// White-box: it is built from the communication library's sources, since the
// parser that a connection keeps is not part of the library's interface.
#include "FuzzTargets.h"

#include <qxlnk/exceptions.h>
#include <qxlnk/soap.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "EnvelopeParser.h"

namespace DadovuFuzz {

namespace {

// What a caller learns from one response: refused, a fault, or the outputs.
struct Outcome {
    enum Kind { Accepted, Fault, Refused } kind = Refused;
    int result = -1;
    std::string status;
    bool hasStatus = false;

    bool operator==(const Outcome& other) const {
        // A fault's status is its string.
        return kind == other.kind && (kind == Refused || (result == other.result && status == other.status &&
                                                          hasStatus == other.hasStatus));
    }
};

// Parses `document` with `parser`, fed in pieces whose sizes `pieces` picks.
Outcome Parse(QxLnkImpl::EnvelopeParser& parser, std::string_view document, std::string_view pieces) {
    static const QxPalStr::String_t kResult("result"), kStatus("status");
    Outcome outcome;
    unsigned short* status = nullptr;
    QxLnkSoap::SOAPArgInt resultArg(kResult.Data(), &outcome.result);
    QxLnkSoap::SOAPArgUnicodeString statusArg(kStatus.Data(), &status);
    QxLnkSoap::SOAPArg* const outputs[] = {&resultArg, &statusArg};
    parser.Begin(2, outputs);
    std::size_t at = 0, next = 0;
    bool fed = true;
    while (fed && at < document.size()) {
        const std::size_t size = pieces.empty() ? document.size() : 1 + static_cast<unsigned char>(pieces[next++ % pieces.size()]) % 64;
        const std::size_t piece = size < document.size() - at ? size : document.size() - at;
        fed = parser.Feed(document.data() + at, piece, at + piece == document.size());
        at += piece;
    }
    try {
        if (!fed || !parser.Finish()) parser.RaiseError();
        parser.CheckResult();
        outcome.kind = Outcome::Accepted;
        if (status != nullptr) {
            outcome.status = QxPalStr::String_t(status).ToUtf8();
            outcome.hasStatus = true;
        }
    } catch (const QxLnkSoap::SoapFaultException& e) {
        outcome.kind = Outcome::Fault;
        outcome.status = e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    } catch (const QxLnkSoap::SoapException&) {
        outcome.kind = Outcome::Refused;
    }
    return outcome;
}

}  // namespace

// The input: a byte of piece sizes count, that many piece sizes, then up to
// eight responses separated by 0xFF (a byte no UTF-8 document holds).
int EnvelopeStream(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.empty()) return 0;
    const std::size_t count = static_cast<unsigned char>(input[0]) % 8;
    if (input.size() < 1 + count) return 0;
    const std::string_view pieces = input.substr(1, count);
    std::string_view rest = input.substr(1 + count);
    // Two kept parsers: one with Expat's reparse deferral as the library has
    // it, one with deferral off throughout (as on an Expat without it).
    QxLnkImpl::EnvelopeParser kept, keptEager;
    for (int i = 0; i < 8; ++i) {
        const std::size_t end = rest.find('\xFF');
        const std::string_view document = rest.substr(0, end);
        QxLnkImpl::EnvelopeParser fresh;
        // Whatever the responses before it left in a kept parser, and however
        // Expat buffers the pieces, each response means what it means alone.
        const Outcome alone = Parse(fresh, document, std::string_view());
        if (!(Parse(kept, document, pieces) == alone)) std::abort();
        QxLnkSoap::SetReparseDeferral(QxLnkSoap::ReparseDeferral::Off);
        const Outcome eager = Parse(keptEager, document, pieces);
        QxLnkSoap::SetReparseDeferral(QxLnkSoap::ReparseDeferral::Library);
        if (!(eager == alone)) std::abort();
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return 0;
}

}  // namespace DadovuFuzz
