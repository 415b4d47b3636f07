// Tests of base/trace/trimp: the client wrappers against the in-process
// export table, the default channel and the silence without a table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qptraces.h"

// The attach code is not linked here: this stand-in counts the wrappers'
// attach calls and, when a table is waiting, attaches it as the real one
// would.
int autoAttachCalls;
TRACEEXPORTS* autoAttachTable;

extern "C" int trautoattach(void)
{
    autoAttachCalls++;
    if (autoAttachTable && !traceExports) {
        traceExports = autoAttachTable;
        traceClient = autoAttachTable->trattach();
    }
    return traceExports != nullptr;
}

namespace {

class TraceWrappers : public testing::Test {
protected:
    static void SetUpTestSuite() { trbuffer_initializer(); }
    void SetUp() override
    {
        traceExports = &traceexports1;
        traceClient = traceexports1.trattach();
        traceDefaultChannel = TRCHANNEL_DEFAULT;
    }
    void TearDown() override
    {
        autoAttachTable = nullptr;
        traceExports = nullptr;
        traceClient = nullptr;
        traceDefaultChannel = TRCHANNEL_DEFAULT;
    }
    static size_t EndLine(TRCHANNEL channel)
    {
        size_t end = 0;
        TraceInfo(nullptr, channel, nullptr, &end, nullptr);
        return end;
    }
    static std::string LastText(TRCHANNEL channel)
    {
        char out[512];
        TraceRead(nullptr, channel, EndLine(channel) - 1, out, sizeof out);
        return std::strlen(out) >= TRACETIMESTAMPLEN ? out + TRACETIMESTAMPLEN : "";
    }
};

// Without an attached table every wrapper does nothing and opens return
// null.
TEST_F(TraceWrappers, StaySilentWithoutATable)
{
    traceExports = nullptr;
    size_t before = EndLine(TRCHANNEL(1));
    EXPECT_EQ(nullptr, tropen("wrap.none"));
    EXPECT_EQ(nullptr, trwopen(L"wrap.none"));
    EXPECT_EQ(nullptr, trdup(TRCHANNEL(1)));
    trprint(TRCHANNEL(1), "lost\n");
    trprintf(TRCHANNEL(1), "%s\n", "lost");
    trwprintf(TRCHANNEL(1), L"%s\n", L"lost");
    trreset(TRCHANNEL(1));
    char list[16] = "untouched";
    trlist(list, sizeof list);
    EXPECT_STREQ("untouched", list);
    size_t start = 5;
    trinfo(TRCHANNEL(1), &start, nullptr, nullptr);
    EXPECT_EQ(5u, start);
    trcrash();
    trclose(TRCHANNEL(1));
    EXPECT_EQ(before, EndLine(TRCHANNEL(1)));
    EXPECT_EQ(0u, TraceAnchor_OpenChannel(&traceAnchor, "wrap.none", nullptr));
}

// -1 means "traces" until trdefault names another channel; a null channel
// prints nothing.
TEST_F(TraceWrappers, DefaultChannelStandsInForMinusOne)
{
    TRCHANNEL c = tropen("wrap.default");
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(TRCHANNEL_DEFAULT, trfixchannel(TRCHANNEL_DEFAULT));
    trprint(TRCHANNEL_DEFAULT, "to traces\n");
    EXPECT_EQ("to traces", LastText(TRCHANNEL(1)));

    trdefault(c);
    EXPECT_EQ(c, trfixchannel(TRCHANNEL_DEFAULT));
    EXPECT_EQ(TRCHANNEL(1), trfixchannel(TRCHANNEL(1)));
    trprint(TRCHANNEL_DEFAULT, "to default\n");
    trprintf(TRCHANNEL_DEFAULT, "%d %s\n", 7, "formatted");
    EXPECT_EQ("7 formatted", LastText(c));
    trwprint(TRCHANNEL_DEFAULT, L"wide\n");
    EXPECT_EQ("wide", LastText(c));
    trwprintf(TRCHANNEL_DEFAULT, L"%d\n", 8);
    EXPECT_EQ("8", LastText(c));

    size_t cEnd = EndLine(c), tracesEnd = EndLine(TRCHANNEL(1));
    trprint(nullptr, "nowhere\n");
    trdefault(nullptr);
    trprint(TRCHANNEL_DEFAULT, "nowhere\n");
    trprintf(TRCHANNEL_DEFAULT, "nowhere\n");
    EXPECT_EQ(cEnd, EndLine(c));
    EXPECT_EQ(tracesEnd, EndLine(TRCHANNEL(1)));
}

// The read-side wrappers pass the fixed channel; dup passes it unchanged.
TEST_F(TraceWrappers, ReadSideFollowsTheDefaultChannel)
{
    TRCHANNEL c = trwopen(L"wrap.read");
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(c, tropen("WRAP.READ"));
    EXPECT_EQ(TRCHANNEL_DEFAULT, trdup(TRCHANNEL_DEFAULT));
    trdefault(c);
    trprint(c, "line\n");
    size_t end = 0;
    trinfo(TRCHANNEL_DEFAULT, nullptr, &end, nullptr);
    EXPECT_EQ(EndLine(c), end);
    char out[64] = {};
    trread(TRCHANNEL_DEFAULT, end - 1, out, sizeof out);
    EXPECT_STREQ("line", out + TRACETIMESTAMPLEN);
    wchar_t wide[64] = {};
    trwread(TRCHANNEL_DEFAULT, end - 1, wide, 64);
    EXPECT_STREQ(L"line", wide + TRACETIMESTAMPLEN);
    trreset(TRCHANNEL_DEFAULT);
    size_t start = 0;
    trinfo(c, &start, &end, nullptr);
    EXPECT_EQ(start + 1, end);
    char list[8];
    trlist(list, sizeof list);
    EXPECT_EQ(0, std::memcmp(list, "traces\0\0", 8));
    wchar_t wlist[8];
    trwlist(wlist, 8);
    EXPECT_EQ(0, std::wmemcmp(wlist, L"traces\0\0", 8));
}

// A table with empty slots: those wrappers do nothing, the rest still work.
TEST_F(TraceWrappers, EmptySlotsAreSkipped)
{
    TRACEEXPORTS partial = traceexports1;
    partial.tropen = nullptr;
    partial.trprint = nullptr;
    partial.trvprintf = nullptr;
    traceExports = &partial;
    EXPECT_EQ(nullptr, tropen("wrap.partial"));
    size_t before = EndLine(TRCHANNEL(1));
    trprint(TRCHANNEL(1), "skipped\n");
    trprintf(TRCHANNEL(1), "skipped\n");
    EXPECT_EQ(before, EndLine(TRCHANNEL(1)));
    trwprint(TRCHANNEL(1), L"kept\n");
    EXPECT_EQ("kept", LastText(TRCHANNEL(1)));
    traceExports = &traceexports1;
}

// The wrappers that may be a program's first trace call attach before
// anything else; the others only use a table already attached.
TEST_F(TraceWrappers, WrappersThatStartTracingAttachFirst)
{
    traceExports = nullptr;
    autoAttachTable = &traceexports1;
    autoAttachCalls = 0;
    TRCHANNEL c = tropen("wrap.first");
    EXPECT_NE(nullptr, c) << "tropen attached only after looking at the table";
    EXPECT_EQ(1, autoAttachCalls);
    for (auto* first : {+[] { trprint(TRCHANNEL(1), "first\n"); },
                        +[] { trprintf(TRCHANNEL(1), "%s\n", "first"); },
                        +[] { trwprint(TRCHANNEL(1), L"first\n"); },
                        +[] { trwprintf(TRCHANNEL(1), L"%s\n", L"first"); }}) {
        traceExports = nullptr;
        first();
        EXPECT_EQ("first", LastText(TRCHANNEL(1)));
    }

    TRACEEXPORTS empty = {};
    traceExports = &empty;
    autoAttachCalls = 0;
    char text[8];
    wchar_t wide[8];
    size_t number;
    trwopen(L"x");
    trdup(TRCHANNEL(1));
    trlist(text, sizeof text);
    trwlist(wide, 8);
    trprint(TRCHANNEL(1), "x");
    trwprint(TRCHANNEL(1), L"x");
    trprintf(TRCHANNEL(1), "x");
    trwprintf(TRCHANNEL(1), L"x");
    trcrash();
    EXPECT_EQ(9, autoAttachCalls);
    trclose(TRCHANNEL(1));
    trdefault(TRCHANNEL(1));
    trreset(TRCHANNEL(1));
    trinfo(TRCHANNEL(1), &number, nullptr, nullptr);
    trread(TRCHANNEL(1), 0, text, sizeof text);
    trwread(TRCHANNEL(1), 0, wide, 8);
    EXPECT_EQ(9, autoAttachCalls);
}

} // namespace

namespace {

// The readers' wrappers pass the default channel and the slot's answer; a
// table that predates them, or none, answers err_not_implemented with
// empty results.
TEST_F(TraceWrappers, ReaderWrappersNeedTheirSlots)
{
    TRCHANNEL c = tropen("wrap.readers");
    trprint(c, "a\nb\n");
    trdefault(c);
    size_t start = 9, end = 9, count = 9, next = 9;
    char out[128];
    EXPECT_EQ(0, trwait(TRCHANNEL_DEFAULT, 1, 0, &start, &end));
    EXPECT_EQ(3u, end);
    EXPECT_EQ(0, trreadlines(TRCHANNEL_DEFAULT, 1, out, sizeof out, &count, &next));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(3u, next);

    TRACEEXPORTS older = traceexports1;
    older.trwait = nullptr;
    older.trreadlines = nullptr;
    for (TRACEEXPORTS* table : {&older, static_cast<TRACEEXPORTS*>(nullptr)}) {
        traceExports = table;
        EXPECT_EQ(38, trwait(c, 1, 0, &start, &end));
        EXPECT_EQ(0u, start);
        EXPECT_EQ(0u, end);
        EXPECT_EQ(38, trreadlines(c, 1, out, sizeof out, &count, &next));
        EXPECT_EQ(0u, count);
        EXPECT_EQ(1u, next);
    }
}

} // namespace
