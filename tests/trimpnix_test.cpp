// Tests of base/trace/trimpnix (the attach code) and of the client library
// without a driver: a program stays silent, and runs on, when the library
// is missing, when it finds no device node, when the node is not the
// driver's, or when the table it finds is not one to accept; with a stand-in
// table the wrappers reach it with the library's client and the program's
// default channel. The library and the node are symbolic links in
// QP_CLIENT_TEST_DIR, the paths this test build of the attach code and of
// the library were compiled with.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qptrace.h"

namespace {

const std::string testDir = QP_CLIENT_TEST_DIR;
const std::string libraryLink = testDir + "/libqptrace1.so";
const std::string deviceLink = testDir + "/qptrace";

int open_descriptors()
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (readdir(fds))
        count++;
    closedir(fds);
    return count;
}

bool library_loaded(const std::string& path)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

std::string recorded(const char* what)
{
    const char* value = getenv(what);
    return value ? value : "";
}

class TraceAttachCode : public testing::Test {
protected:
    void SetUp() override
    {
        mkdir(testDir.c_str(), 0755);
        unlink(libraryLink.c_str());
        unlink(deviceLink.c_str());
        for (const char* what : {"QP_FAKE_DETACHED", "QP_FAKE_OPENED", "QP_FAKE_PRINTED"})
            unsetenv(what);
        descriptorsBefore = open_descriptors();
    }
    void TearDown() override
    {
        traceNoDetach = 0;
        (void)trdetach();
        traceAutoAttachAttempted = 0;
        traceDefaultChannel = TRCHANNEL_DEFAULT;
        EXPECT_EQ(descriptorsBefore, open_descriptors());
        unlink(libraryLink.c_str());
        unlink(deviceLink.c_str());
    }
    static void Link(const char* target, const std::string& link)
    {
        ASSERT_EQ(0, symlink(target, link.c_str())) << link;
    }
    // Every wrapper does nothing and the library is not kept loaded.
    static void ExpectInert()
    {
        EXPECT_EQ(nullptr, traceExports);
        EXPECT_EQ(nullptr, traceDll);
        EXPECT_EQ(nullptr, traceClient);
        EXPECT_FALSE(library_loaded(libraryLink));
        EXPECT_EQ(nullptr, tropen("attach.inert"));
        EXPECT_EQ(nullptr, trwopen(L"attach.inert"));
        trprintf(TRCHANNEL_DEFAULT, "%s %d\n", "dropped", 1);
        trprint(TRCHANNEL_DEFAULT, "dropped\n");
        trwprintf(TRCHANNEL_DEFAULT, L"%s\n", L"dropped");
        char list[8] = "kept";
        trlist(list, sizeof list);
        EXPECT_STREQ("kept", list);
    }
    int descriptorsBefore = 0;
};

// No library at the path: the program runs on, silent.
TEST_F(TraceAttachCode, MissingLibraryLeavesTheProgramInert)
{
    EXPECT_EQ(0, TraceAutoAttach());
    EXPECT_EQ(1, traceAutoAttachAttempted);
    ExpectInert();
}

// The library loads but finds no device node, then a node that is not the
// driver's (a character device and a plain file that refuse the version
// request): it is unloaded again and leaves no descriptor open.
TEST_F(TraceAttachCode, LibraryWithoutTheDriverIsUnloaded)
{
    Link(QP_CLIENT_TEST_LIBRARY, libraryLink);
    EXPECT_EQ(0, trattach());
    ExpectInert();
    for (const char* notTheDriver : {"/dev/null", QP_CLIENT_TEST_LIBRARY}) {
        Link(notTheDriver, deviceLink);
        EXPECT_EQ(0, trattach()) << notTheDriver;
        ExpectInert();
        unlink(deviceLink.c_str());
    }
}

// A table with a wrong tag is never called; one whose attach raises its
// minimum version past ours is detached again at once.
TEST_F(TraceAttachCode, UnacceptableTablesAreDropped)
{
    Link(QP_CLIENT_FAKE_BADTAG, libraryLink);
    EXPECT_EQ(0, trattach());
    ExpectInert();
    EXPECT_EQ("", recorded("QP_FAKE_DETACHED"));
    unlink(libraryLink.c_str());

    Link(QP_CLIENT_FAKE_RAISES, libraryLink);
    EXPECT_EQ(0, trattach());
    EXPECT_EQ("7 0 ", recorded("QP_FAKE_DETACHED"));
    ExpectInert();
}

// Attached, the wrappers pass the library's client and the default
// channel; detaching calls the table and unloads the library.
TEST_F(TraceAttachCode, AttachedWrappersReachTheTable)
{
    Link(QP_CLIENT_FAKE_GOOD, libraryLink);
    ASSERT_EQ(0, TraceAutoAttach());
    ASSERT_NE(nullptr, traceExports);
    EXPECT_NE(nullptr, traceDll);
    EXPECT_EQ(TRCLIENT(7), traceClient);
    EXPECT_EQ(1, trattach());

    TRCHANNEL channel = tropen("attach.fake");
    EXPECT_EQ(TRCHANNEL(42), channel);
    EXPECT_EQ("7 0 attach.fake", recorded("QP_FAKE_OPENED"));
    trprintf(TRCHANNEL_DEFAULT, "%s %d", "to traces", 1);
    EXPECT_EQ("7 -1 to traces 1", recorded("QP_FAKE_PRINTED"));
    trdefault(channel);
    trprintf(TRCHANNEL_DEFAULT, "%s %d", "to default", 2);
    EXPECT_EQ("7 42 to default 2", recorded("QP_FAKE_PRINTED"));
    // Empty slots of the table are skipped.
    trprint(channel, "no slot");
    EXPECT_EQ(nullptr, trdup(channel));

    traceNoDetach = 1;
    EXPECT_EQ(1, trdetach());
    EXPECT_NE(nullptr, traceExports);
    traceNoDetach = 0;
    EXPECT_EQ(0, trdetach());
    EXPECT_EQ("7 0 ", recorded("QP_FAKE_DETACHED"));
    EXPECT_EQ(nullptr, traceDll);
    EXPECT_FALSE(library_loaded(libraryLink));
}

// While another attach is in progress a second one neither loads the
// library nor publishes anything; once it is over, attaching works.
TEST_F(TraceAttachCode, AttachInProgressIsNotJoined)
{
    Link(QP_CLIENT_FAKE_GOOD, libraryLink);
    char otherAttach;
    traceAttaching = &otherAttach;
    EXPECT_EQ(0, trattach());
    EXPECT_EQ(&otherAttach, traceAttaching);
    ExpectInert();
    traceAttaching = nullptr;
    EXPECT_EQ(1, trattach());
    EXPECT_EQ(nullptr, traceAttaching);
}

// The automatic attach is tried once; TraceAutoAttach tries again.
TEST_F(TraceAttachCode, AutomaticAttachIsTriedOnce)
{
    EXPECT_EQ(nullptr, tropen("attach.once"));
    Link(QP_CLIENT_FAKE_GOOD, libraryLink);
    EXPECT_EQ(nullptr, tropen("attach.once"));
    EXPECT_EQ(0, TraceAutoAttach());
    EXPECT_EQ(TRCHANNEL(42), tropen("attach.once"));
}

// The client library itself, loaded directly: its two symbols, the initial
// table, and calls without a client that answer as empty requests.
class TraceLibrary : public testing::Test {
protected:
    void SetUp() override
    {
        unlink(deviceLink.c_str());
        library = dlopen(QP_CLIENT_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, library) << dlerror();
        table = static_cast<TRACEEXPORTS*>(dlsym(library, "traceexports1"));
        ASSERT_NE(nullptr, table);
    }
    void TearDown() override
    {
        EXPECT_EQ(0, dlclose(library));
        unlink(deviceLink.c_str());
    }
    void Printf(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        table->trvprintf(nullptr, TRCHANNEL_DEFAULT, format, args);
        va_end(args);
    }
    void* library = nullptr;
    TRACEEXPORTS* table = nullptr;
};

TEST_F(TraceLibrary, PublishesItsTableAndBuildTag)
{
    EXPECT_STREQ("23X", static_cast<const char*>(dlsym(library, "factoryVersionString1")));
    EXPECT_EQ(nullptr, dlsym(library, "TraceSend"));
    EXPECT_EQ(nullptr, dlsym(library, "malloc_dh"));
    EXPECT_EQ(int32_t(TRACEEXPORTSTAG), table->tag);
    EXPECT_EQ(5, table->version);
    EXPECT_EQ(3, table->minCompatVersion);
    EXPECT_EQ(0u, table->timeStampLen);
    void* const* slots = &table->reserved1;
    EXPECT_EQ(nullptr, slots[0]);
    EXPECT_EQ(nullptr, slots[1]);
    // Slots 20 and 21 are the readers' wait and read-lines requests.
    for (int slot = 2; slot < 22; slot++)
        EXPECT_NE(nullptr, slots[slot]) << slot;
    for (int slot = 22; slot < 30; slot++)
        EXPECT_EQ(nullptr, slots[slot]) << slot;
}

TEST_F(TraceLibrary, AttachFailsWithoutTheDriver)
{
    int before = open_descriptors();
    EXPECT_EQ(nullptr, table->trattach());
    ASSERT_EQ(0, symlink("/dev/null", deviceLink.c_str()));
    EXPECT_EQ(nullptr, table->trattach());
    EXPECT_EQ(before, open_descriptors());
    EXPECT_EQ(0u, table->timeStampLen);
}

// Without a client every request fails: answers are empty, out values zero,
// and long texts (the heap path of the library's own debug heap) are
// dropped without a leak.
TEST_F(TraceLibrary, CallsWithoutAClientAnswerEmpty)
{
    EXPECT_EQ(nullptr, table->tropen(nullptr, "lib.none"));
    EXPECT_EQ(nullptr, table->tropen(nullptr, nullptr));
    EXPECT_EQ(nullptr, table->trwopen(nullptr, L"lib.none"));
    EXPECT_EQ(nullptr, table->trdup(nullptr, TRCHANNEL(1)));
    char text[16] = "stale";
    EXPECT_EQ(0u, table->trlist(nullptr, text, sizeof text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(0u, table->trlist(nullptr, nullptr, 16));
    strcpy(text, "stale");
    EXPECT_EQ(0u, table->trread(nullptr, TRCHANNEL(1), 0, text, sizeof text));
    EXPECT_STREQ("", text);
    wchar_t wide[200] = L"stale";
    EXPECT_EQ(1u, table->trwread(nullptr, TRCHANNEL(1), 0, wide, 4));
    EXPECT_STREQ(L"", wide);
    wcscpy(wide, L"stale");
    EXPECT_EQ(1u, table->trwread(nullptr, TRCHANNEL(1), 0, wide, 200));
    EXPECT_STREQ(L"", wide);
    EXPECT_EQ(1u, table->trwlist(nullptr, wide, 200));
    size_t start = 5, end = 6, endLen = 7;
    table->trinfo(nullptr, TRCHANNEL(1), &start, &end, &endLen);
    EXPECT_EQ(0u, start + end + endLen);
    std::string longText(1000, 'x');
    table->trprint(nullptr, TRCHANNEL(1), longText.c_str());
    table->trprint(nullptr, TRCHANNEL(1), nullptr);
    Printf("%s %d\n", longText.c_str(), 1);
    Printf(nullptr);
    table->trwprint(nullptr, TRCHANNEL(1), std::wstring(500, L'w').c_str());
    table->trreset(nullptr, TRCHANNEL(1));
    table->trclose(nullptr, TRCHANNEL(1));
    table->trdefault(nullptr, TRCHANNEL(1));
    table->trcrash(nullptr);
    table->trdetach(nullptr);
}

} // namespace
