// The end-to-end benchmark harness shared by the three clients (DaDovu, the
// floor and the gSOAP-generated client): the command line, the threads, the
// clock, the process's CPU time and the connections it opened.
//
// Every client program takes the same options and prints one line of
// key=value pairs per run, which bench/compare reads:
//
//   client=dadovu scenario=start threads=1 connection=keep requests=20000
//   items_per_request=1 wall_s=1.52 rps=13157 cpu_us_per_request=41.8
//   user_us_per_request=20.1 sys_us_per_request=21.7 connects=0
//   connects_per_request=0 peak_rss_kib=9120
//
// cpu_us_per_request is the whole client process's user plus system time
// during the measured requests, divided by the requests.
#pragma once

#include <functional>
#include <string>

namespace Bench {

struct Config {
    std::string client;              // the program's name in the output
    std::string uri;                 // the simulator's endpoint (--uri)
    std::string scenario = "start";  // start | status | statusaslist
    std::string target;              // default: comp00001 for start, comp0001* for status, * for statusaslist
    int level = 7;                   // status level
    long requests = 10000;           // measured requests, over all threads
    long warmup = 200;               // unmeasured requests per thread first
    int threads = 1;
    bool close = false;              // a connection per request instead of kept-alive ones
    long expect = 0;                 // records each "statusaslist" must return (0: unchecked)
};

// Parses the shared options; prints the usage and exits on an error.
Config ParseArgs(int argc, char** argv, const char* client);

// One request of the configured scenario; returns the records it received
// (1 for the requests that return none). Throws on a failure.
using Request = std::function<long()>;
// Builds one client for one thread, on that thread, before the clock starts.
using ClientFactory = std::function<Request()>;

// Runs the warm-up and the measured requests on `config.threads` threads and
// prints the result line. Returns the process's exit status: 0, or 1 after a
// failed request (its message on stderr).
int Run(const Config& config, const ClientFactory& makeClient);

// connect() calls made by this process so far (the harness interposes connect).
unsigned long ConnectCount();

}  // namespace Bench
