// Host name lookups through the real call path, with the lookup function
// replaced by one that never returns until the test lets it: each call gives
// up at its deadline, lookups of one name are shared, and no more than
// kMaxLookups run at once however many names are asked for.
#include "LnkTestSupport.h"

#include <qxlnk/resolver.h>

#include <dirent.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace LnkTest;

std::mutex gMutex;
std::condition_variable gRelease;
bool gReleased = false;
std::atomic<int> gLookups{0};

int HungLookup(const char*, const char*, const addrinfo*, addrinfo**) {
    ++gLookups;
    std::unique_lock<std::mutex> lock(gMutex);
    gRelease.wait(lock, [] { return gReleased; });
    return EAI_NONAME;
}

int Threads() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

TEST(NameLookup, HungLookupsAreSharedCappedAndEndedByTheDeadline) {
    QxLnkNet::SetLookupFunction(&HungLookup);
    const QxLnkMsg::Messenger messenger = MakeMessenger("CONNECT_TIMEOUT_MS = 20\nTIMEOUT_MS = 1000\n");
    const auto outcome = [&](const std::string& host) {
        Call call;
        call.messenger = messenger;
        call.uri = "http://" + host + ":1/x";
        return call.Outcome();
    };
    const int before = Threads();

    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(Contains(outcome("hung.example"), "'hung.example' took longer than 20 ms")) << i;
    EXPECT_EQ(gLookups.load(), 1) << "one lookup for the name, shared";

    int refused = 0;
    for (int i = 0; i < 80; ++i) {
        const std::string result = outcome("hung" + std::to_string(i) + ".example");
        const bool capped = Contains(result, std::to_string(QxLnkNet::kMaxLookups) + " lookups are running");
        EXPECT_TRUE(capped || Contains(result, "took longer than 20 ms")) << result;
        refused += capped;
    }
    EXPECT_EQ(gLookups.load(), QxLnkNet::kMaxLookups);
    EXPECT_EQ(refused, 80 - (QxLnkNet::kMaxLookups - 1));
    EXPECT_EQ(QxLnkNet::LookupsInFlight(), QxLnkNet::kMaxLookups);
    EXPECT_LE(Threads(), before + QxLnkNet::kMaxLookups);

    {
        std::lock_guard<std::mutex> lock(gMutex);
        gReleased = true;
    }
    gRelease.notify_all();
    for (int i = 0; i < 500 && QxLnkNet::LookupsInFlight() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(QxLnkNet::LookupsInFlight(), 0);
    // Slots freed are used again: a name the resolver does not know is refused as such.
    QxLnkNet::SetLookupFunction([](const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; });
    EXPECT_TRUE(Contains(outcome("unknown.example"), "Cannot resolve the host name 'unknown.example'"));
    QxLnkNet::SetLookupFunction(nullptr);
}

}  // namespace
