// The nodes a run asks: given on the command line, or read from a nodes file
// (or standard input) one line at a time while the run goes on.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace DaDovuCtl {

// "" when `node` is a node name (host, IPv4 address or bracketed IPv6
// address, with an optional ":port"); else why not.
std::string CheckNode(const std::string& node);
// "" when `text` is an http or https URI; else why not.
std::string CheckUri(const std::string& text);

// The command line or the nodes file is wrong (exit status 2); what() says
// where and why, e.g. "nodes.txt:3: not a node name ...".
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A sequence of nodes, each a node name or an endpoint URI, handed out one at
// a time. Not thread-safe (the fleet calls its source from one thread at a time).
class NodeInput {
public:
    // The nodes given on the command line, at least one.
    explicit NodeInput(std::vector<std::string> nodes);
    // The nodes of the file `path` ("-": standard input): one node name or
    // endpoint URI per line; blank lines, and '#' comments (a whole line, or
    // after white space), are skipped. A regular file is checked whole
    // before the run (nothing is kept but a count), then read again line by
    // line as the run takes its nodes; standard input and other files (a
    // pipe) are read once, as the run goes, with the first two entries read
    // ahead.
    // `wakeDescriptor` (or -1) becoming readable ends the reading of a file
    // that is not regular. Throws UsageError for a file that cannot be read,
    // a bad line or no nodes at all.
    NodeInput(const std::string& path, int wakeDescriptor);
    ~NodeInput();
    NodeInput(const NodeInput&) = delete;
    NodeInput& operator=(const NodeInput&) = delete;

    // Whether more than one node is to be asked.
    bool Several() const { return several_; }
    // The next node; nothing at the end, once woken, or at a bad line met
    // during the run (BadLine then says which).
    std::optional<std::string> Next();
    // What was wrong with a line met during the run; "" when nothing was.
    const std::string& BadLine() const { return badLine_; }

    class Reader;

private:
    std::vector<std::string> given_;
    std::size_t nextGiven_ = 0;
    std::unique_ptr<Reader> reader_;
    bool several_ = false;
    std::string badLine_;
};

}  // namespace DaDovuCtl
