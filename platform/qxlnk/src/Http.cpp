// HTTP/1.1 responses: Beast's parser over the connection's own reads, with
// the body streamed into the envelope parser.

#include "Http.h"

#include "Errors.h"

#include <qxlnk/exceptions.h>

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <cstring>
#include <optional>
#include <string_view>

namespace QxLnkImpl {

namespace {

namespace http = boost::beast::http;
using boost::beast::error_code;
// Beast's own string view: boost::string_view in Boost 1.74, boost::core::string_view
// from 1.81 on. The overrides below name it so that they override in both.
using BeastView = boost::beast::string_view;

std::string_view View(BeastView text) { return std::string_view(text.data(), text.size()); }

constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr std::size_t kInitialInput = 16 * 1024;
constexpr std::size_t kMaxInput = 2 * kHeaderLimit;
// Interim responses (100 Continue) accepted before the answer.
constexpr int kMaxInterimResponses = 8;

error_code Aborted() { return boost::system::errc::make_error_code(boost::system::errc::operation_canceled); }

// Keeps no header fields: the status and Beast's own view of the framing and
// of keep-alive are all a call needs. The body goes to the envelope parser.
class ResponseParser final : public http::basic_parser<false> {
public:
    ResponseParser(EnvelopeParser& envelope, std::uint64_t maxBodyBytes) : envelope_(envelope) {
        body_limit(maxBodyBytes);
        header_limit(kHeaderLimit);
        eager(true);
    }

    int Status() const { return status_; }
    // Whether the message parsed was an interim response, which has no body.
    bool Interim() const { return interim_; }
    bool StatusRefused() const { return statusRefused_; }
    const std::string& Reason() const { return reason_; }
    bool EnvelopeFailed() const { return envelopeFailed_; }

private:
    void on_request_impl(http::verb, BeastView, BeastView, int, error_code&) override {}

    void on_response_impl(int code, BeastView reason, int /*version*/, error_code& ec) override {
        status_ = code;
        // An interim response (100 Continue and the like) precedes the answer;
        // 101 would switch protocols, which a SOAP call never asks for.
        interim_ = code / 100 == 1 && code != 101;
        if (code != 200 && code != 500 && !interim_) {
            statusRefused_ = true;
            reason_.assign(reason.data(), reason.size());
            ec = Aborted();
        }
    }

    void on_field_impl(http::field, BeastView, BeastView, error_code&) override {}
    void on_header_impl(error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}

    std::size_t on_body_impl(BeastView body, error_code& ec) override {
        // With a Content-Length, the piece that completes it is the document's last.
        const boost::optional<std::uint64_t> remaining = content_length_remaining();
        Feed(View(body), remaining && *remaining == body.size(), ec);
        return body.size();
    }

    void on_chunk_header_impl(std::uint64_t, BeastView, error_code&) override {}

    std::size_t on_chunk_body_impl(std::uint64_t, BeastView body, error_code& ec) override {
        Feed(View(body), false, ec);
        return body.size();
    }

    void on_finish_impl(error_code& ec) override {
        if (interim_) return;
        if (!envelope_.Finish()) {
            envelopeFailed_ = true;
            ec = Aborted();
        }
    }

    void Feed(std::string_view body, bool last, error_code& ec) {
        if (!envelope_.Feed(body.data(), body.size(), last)) {
            envelopeFailed_ = true;
            ec = Aborted();
        }
    }

    EnvelopeParser& envelope_;
    int status_ = 0;
    bool statusRefused_ = false;
    bool interim_ = false;
    bool envelopeFailed_ = false;
    std::string reason_;
};

[[noreturn]] void Fail(const ResponseParser& parser, EnvelopeParser& envelope, const error_code& ec,
                       std::uint64_t maxBodyBytes, const std::string& uri) {
    if (parser.StatusRefused())
        throw TransportError("HTTP status " + std::to_string(parser.Status()) + " " + Printable(parser.Reason()),
                             TransportError::Stage::Response);
    if (parser.EnvelopeFailed()) envelope.RaiseError();
    if (ec == http::error::body_limit)
        throw QxLnkSoap::SoapException(ErrorMessage("The response exceeds the limit of " +
                                                    std::to_string(maxBodyBytes) + " bytes (" + uri + ")"));
    if (ec == http::error::header_limit)
        throw TransportError("The HTTP response head exceeds " + std::to_string(kHeaderLimit) + " bytes",
                             TransportError::Stage::Response);
    throw TransportError("Malformed HTTP response: " + ec.message(), TransportError::Stage::Response);
}

// Makes room for at least one more byte after in.end.
void MakeRoom(InputBuffer& in) {
    if (in.begin == in.end) {
        in.begin = in.end = 0;
    } else if (in.end == in.capacity) {
        if (in.begin > 0) {
            std::memmove(in.data.get(), in.data.get() + in.begin, in.end - in.begin);
            in.end -= in.begin;
            in.begin = 0;
        } else {
            if (in.capacity >= kMaxInput) throw TransportError("An HTTP line of the response is too long", TransportError::Stage::Response);
            const std::size_t capacity = in.capacity * 2;
            std::unique_ptr<char[]> grown(new char[capacity]);
            std::memcpy(grown.get(), in.data.get(), in.end);
            in.data = std::move(grown);
            in.capacity = capacity;
        }
    }
}

}  // namespace

HttpOutcome ReceiveResponse(Connection& connection, EnvelopeParser& envelope, std::uint64_t maxBodyBytes,
                            const Deadlines& deadlines, const std::string& uri) {
    std::optional<ResponseParser> parser(std::in_place, envelope, maxBodyBytes);
    int interimResponses = 0;
    InputBuffer& in = connection.Input();
    if (in.data == nullptr) {
        in.data.reset(new char[kInitialInput]);
        in.capacity = kInitialInput;
    }
    in.begin = in.end = 0;
    bool endOfStream = false;
    for (;;) {
        if (in.begin < in.end) {
            error_code ec;
            const std::size_t used =
                parser->put(boost::asio::const_buffer(in.data.get() + in.begin, in.end - in.begin), ec);
            in.begin += used;
            if (ec && ec != http::error::need_more) Fail(*parser, envelope, ec, maxBodyBytes, uri);
            if (parser->is_done() && parser->Interim()) {
                // The answer follows on the same connection: parse it afresh.
                if (++interimResponses > kMaxInterimResponses)
                    throw TransportError("More than " + std::to_string(kMaxInterimResponses) +
                                         " interim HTTP responses without an answer",
                                         TransportError::Stage::Response);
                parser.emplace(envelope, maxBodyBytes);
                continue;
            }
            if (parser->is_done()) break;
            if (!ec && used > 0 && in.begin < in.end) continue;
        }
        MakeRoom(in);
        // Right after the request, the answer takes a while: wait before the first read.
        const std::size_t received =
            connection.ReadSome(in.data.get() + in.end, in.capacity - in.end, deadlines, !parser->got_some());
        if (received == 0) {
            // Only a body framed by the end of the stream may end here.
            if (!parser->is_header_done() || !parser->need_eof() || in.begin != in.end)
                throw TransportError(parser->got_some() ? "Connection closed by the peer before the response was complete"
                                                       : "Connection closed by the peer without a response");
            if (!connection.WasEndClean())
                throw TransportError("The TLS connection ended without close_notify before the response was complete");
            error_code ec;
            parser->put_eof(ec);
            if (ec) Fail(*parser, envelope, ec, maxBodyBytes, uri);
            endOfStream = true;
            break;
        }
        in.end += received;
    }
    HttpOutcome outcome;
    outcome.status = parser->Status();
    outcome.reusable = !endOfStream && parser->keep_alive() && in.begin == in.end;
    return outcome;
}

}  // namespace QxLnkImpl
