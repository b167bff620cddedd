// What every request does many times must not allocate more than its result:
// opening unchanged settings, testing a disabled trace level, converting text,
// and writing XML into a buffer that has room.
#include <qxpal/config.h>
#include <qxpal/string.h>
#include <qxpal/trace.h>
#include <qxpal/xml.h>

#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {

// Allocations made by this thread while counting is on.
thread_local bool counting = false;
thread_local long allocations = 0;

class AllocationCounter {
public:
    AllocationCounter() {
        allocations = 0;
        counting = true;
    }
    ~AllocationCounter() { counting = false; }
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    long Count() const { return allocations; }
};

void* Allocate(std::size_t size) {
    if (counting) ++allocations;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

TEST(HotPath, OpeningUnchangedSettingsAllocatesNothing) {
    qxpal_test::SettingsFile settings("[ctrl]\nCLOSE_CONN_AFTER_USE = yes\n[sec.cm.certificates]\nCERT_INSTALLED = no\n");
    const QxPalConfig::ConfigNamespace_t ctrl("ctrl");
    const QxPalConfig::ConfigNamespace_t certificates("sec.cm.certificates");
    const QxPalConfig::ConfigNamespace_t absent("absent");
    ctrl.Open();
    certificates.Open();
    absent.Open();
    const auto parses = QxPalConfig::GetConfigParseCount();
    AllocationCounter counter;
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(ctrl.Open().GetBool("CLOSE_CONN_AFTER_USE"));
        EXPECT_FALSE(certificates.Open().GetBool("CERT_INSTALLED"));
        EXPECT_FALSE(absent.Open().GetBool("X"));
    }
    EXPECT_EQ(counter.Count(), 0);
    EXPECT_EQ(QxPalConfig::GetConfigParseCount(), parses);
}

TEST(HotPath, DisabledTraceLevelAllocatesNothing) {
    qxpal_test::SettingsFile settings;
    static const QxPalTrc::TraceWrapper_t trace("test.hot.disabled");
    QxPalTrc::SetTraceMask("test.hot.disabled", 1);
    EXPECT_TRUE(trace.IsEnabled(1));  // the first use finds the object
    AllocationCounter counter;
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(trace.IsEnabled(4));
    EXPECT_EQ(counter.Count(), 0);
}

TEST(HotPath, ConversionsAllocateOnlyTheirResult) {
    const std::string ascii(200, 'a');
    const std::string mixed = ascii + "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" + ascii;
    {
        AllocationCounter counter;
        const QxPalStr::String_t wide(mixed.c_str());
        EXPECT_EQ(counter.Count(), 1);
        const std::string back = wide.ToUtf8();
        EXPECT_EQ(counter.Count(), 2);
        EXPECT_EQ(back, mixed);
    }
}

TEST(HotPath, XmlIntoABufferWithRoomAllocatesNothing) {
    const QxPalStr::String_t text((std::string(100, 'a') + "<&>\r\xC3\xA9\xF0\x9F\x98\x80").c_str());
    std::string out;
    out.reserve(4096);
    const QxPalXml::XmlWriter_t writer(out);
    writer.OpenTag(std::string_view("target"));  // the open-element stack grows once
    writer.Data(text);
    writer.CloseTag();
    writer.OpenTag(std::string_view("target"));
    AllocationCounter counter;
    writer.Attribute("type", "xsd:string");
    writer.Data(text);
    writer.Data(std::string_view("plain & simple"));
    writer.CloseTag();
    EXPECT_EQ(counter.Count(), 0);
}
