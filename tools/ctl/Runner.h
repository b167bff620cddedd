// Runs one command against the nodes the command line names: one endpoint
// URI, each of several nodes at the same time, or the local node.
#pragma once

#include "ExitStatus.h"
#include "StatusLine.h"

#include <dadovu/dadovu.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace DaDovuCtl {

// Where the text of one request goes. Out is standard output, Err standard
// error; both either written at once or kept until every node has answered.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void Out(const std::string& text) = 0;
    virtual void Err(const std::string& text) = 0;
};

// One request to one daemon, as a command sees it.
struct Request {
    std::string label;        // the node name, or the URI as given
    bool labelled = false;    // several places are asked: name this one in what it shows
    QxPalNet::URI_t uri;      // the daemon's endpoint
    bool json = false;        // print JSON data instead of text
    std::string errorPrefix;  // start of every error line: "dadovuctl: " [label ": "]
    Sink* sink = nullptr;
    StatusLine* statusLine = nullptr;
    std::size_t slot = 0;     // this request's slot in the status line
};

// What a command produced: its status and, in JSON mode, its data (null when
// it prints none). In text mode the command has written its text to the sink.
struct Outcome {
    Exit status = Exit::Ok;
    nlohmann::json data;
};

// Performs one request. May throw anything; Run reports it.
using Command = std::function<Outcome(const Request&)>;

struct Where {
    std::string uri;                 // --uri; empty when not given
    std::vector<std::string> nodes;  // --node, in the order given
};

// Runs `command` against every place `where` names (the local node when it
// names none), concurrently when there are several, and prints the answers:
// with one place as they come; with several, after all have ended, each under
// "== NAME ==" in the order given (JSON: one array of {"node", "exit_status",
// "result", "error"}). Returns the worst status.
Exit Run(const Where& where, bool json, const Command& command);

// Writes the failure `error` to `sink` as lines starting with `prefix` and
// returns its exit status.
Exit ReportException(const std::exception_ptr& error, const std::string& prefix, Sink& sink);

// A sink that writes to standard output and error at once, through the status line.
class DirectSink : public Sink {
public:
    explicit DirectSink(StatusLine& line) : line_(line) {}
    void Out(const std::string& text) override;
    void Err(const std::string& text) override;

private:
    StatusLine& line_;
};

}  // namespace DaDovuCtl
