#include "Runner.h"

#include "Output.h"

#include <vorazudor/secauth.h>

#include <iostream>
#include <system_error>
#include <thread>

namespace DaDovuCtl {

namespace {

const char kProgram[] = "dadovuctl: ";

class BufferSink : public Sink {
public:
    void Out(const std::string& text) override { out += text; }
    void Err(const std::string& text) override { err += text; }
    std::string out, err;
};

struct Place {
    std::string label;
    bool byNode = false;
};

Exit Report(const QxPalMsg::Exception_t& e, Exit status, const std::string& prefix, Sink& sink) {
    std::string text = FormatMessages(e.GetMessageList(), prefix);
    if (text.empty()) text = prefix + Sanitize(e.what(), false) + "\n";
    sink.Err(text);
    return status;
}

// `text` without `prefix` at the start of each line and without the last line feed.
std::string WithoutPrefix(const std::string& text, const std::string& prefix) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
        if (!out.empty()) out += '\n';
        out += line;
        pos = end + 1;
    }
    return out;
}

std::string ErrorPrefix(const Place& place, bool labelled) {
    return labelled ? kProgram + Sanitize(place.label, false) + ": " : kProgram;
}

Outcome RunOne(const Place& place, bool json, bool labelled, Sink& sink, StatusLine& line, std::size_t slot,
               const Command& command) {
    const std::string prefix = ErrorPrefix(place, labelled);
    try {
        Request request;
        request.label = place.label;
        request.labelled = labelled;
        request.uri = place.byNode ? QxPalNet::URI_t(DaDovu::CreateURI(
                                         QxPalStr::String_t(place.label.c_str()),
                                         QxPalArray::CharArray_t(DaDovu::SERVER_IDENTIFIER), false))
                                   : QxPalNet::URI_t(place.label.c_str());
        request.json = json;
        request.errorPrefix = prefix;
        request.sink = &sink;
        request.statusLine = &line;
        request.slot = slot;
        Outcome outcome = command(request);
        line.Set(slot, "");
        return outcome;
    } catch (...) {
        line.Set(slot, "");
        return {ReportException(std::current_exception(), prefix, sink), nullptr};
    }
}

}  // namespace

void DirectSink::Out(const std::string& text) { line_.Print(std::cout, text); }
void DirectSink::Err(const std::string& text) { line_.Print(std::cerr, text); }

Exit ReportException(const std::exception_ptr& error, const std::string& prefix, Sink& sink) {
    try {
        std::rethrow_exception(error);
    } catch (const DaDovu::TargetException& e) {
        return Report(e, Exit::Target, prefix, sink);
    } catch (const DaDovu::ComponentException& e) {
        return Report(e, Exit::Component, prefix, sink);
    } catch (const DaDovu::PrerequisiteException& e) {
        return Report(e, Exit::Prerequisite, prefix, sink);
    } catch (const DaDovu::EventException& e) {
        return Report(e, Exit::Event, prefix, sink);
    } catch (const DaDovu::GetUserException& e) {
        return Report(e, Exit::User, prefix, sink);
    } catch (const DaDovu::CommunicationException& e) {
        return Report(e, Exit::Communication, prefix, sink);
    } catch (const DaDovu::ControlException& e) {
        return Report(e, Exit::Daemon, prefix, sink);
    } catch (const QxSecAuth::SecAuthException& e) {
        return Report(e, Exit::Security, prefix, sink);
    } catch (const QxPalMsg::IllegalArgumentError_t& e) {
        return Report(e, Exit::IllegalArgument, prefix, sink);
    } catch (const QxPalMsg::Exception_t& e) {
        return Report(e, Exit::Failure, prefix, sink);
    } catch (const std::exception& e) {
        sink.Err(prefix + Sanitize(e.what(), false) + "\n");
        return Exit::Failure;
    } catch (...) {
        sink.Err(prefix + "unknown failure\n");
        return Exit::Failure;
    }
}

Exit Run(const Where& where, bool json, const Command& command) {
    std::vector<Place> places;
    if (!where.uri.empty()) {
        places.push_back({where.uri, false});
    } else if (where.nodes.empty()) {
        places.push_back({DaDovu::LOCAL_NODE, true});
    } else {
        for (const auto& node : where.nodes) places.push_back({node, true});
    }

    StatusLine line(StatusLine::StandardErrorIsTerminal(), places.size());
    if (places.size() == 1) {
        DirectSink sink(line);
        Outcome outcome = RunOne(places[0], json, false, sink, line, 0, command);
        if (json && !outcome.data.is_null()) sink.Out(DumpJson(outcome.data));
        return outcome.status;
    }

    std::vector<Outcome> outcomes(places.size());
    std::vector<BufferSink> sinks(places.size());
    {
        std::vector<std::thread> threads;
        struct Joiner {
            std::vector<std::thread>& threads;
            ~Joiner() {
                for (auto& t : threads) t.join();
            }
        } joiner{threads};
        threads.reserve(places.size());
        for (std::size_t i = 0; i < places.size(); ++i) {
            auto work = [&, i] { outcomes[i] = RunOne(places[i], json, true, sinks[i], line, i, command); };
            try {
                threads.emplace_back(work);
            } catch (const std::system_error&) {
                work();  // no thread to be had: ask this node from here
            }
        }
    }

    Exit worst = Exit::Ok;
    nlohmann::json all = nlohmann::json::array();
    for (std::size_t i = 0; i < places.size(); ++i) {
        worst = Worst(worst, outcomes[i].status);
        if (json) {
            all.push_back({{"node", places[i].label},
                           {"exit_status", ToInt(outcomes[i].status)},
                           {"result", outcomes[i].data},
                           {"error", sinks[i].err.empty() ? nlohmann::json()
                                                  : nlohmann::json(WithoutPrefix(sinks[i].err,
                                                                                 ErrorPrefix(places[i], true)))}});
        } else {
            line.Print(std::cout, "== " + Sanitize(places[i].label, false) + " ==\n" + sinks[i].out);
        }
        if (!sinks[i].err.empty()) line.Print(std::cerr, sinks[i].err);
    }
    if (json) line.Print(std::cout, DumpJson(all));
    return worst;
}

}  // namespace DaDovuCtl
