// Tests of Base64, hex and markup escaping.
#include <gtest/gtest.h>

#include <string>

#include "sstring.h"

namespace {

qp_heap_ma_t heap = QP_HEAP_MA_INIT;
malloc_i* const ma = &heap.vtbl;

std::string base64(const std::string& data)
{
    char out[128];
    size_t len = ss8base64encoden(out, sizeof out, data.data(), data.size());
    EXPECT_LT(len, sizeof out);
    return out;
}

std::string unbase64(const char* text)
{
    unsigned char out[128];
    size_t len = ss8base64decoden(out, sizeof out, text, SS_UNBOUNDED);
    return std::string((char*)out, len);
}

// Known vectors (RFC 4648) and decoding that skips white space.
TEST(SsBase64, Vectors)
{
    const char* const vectors[][2] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},
                                      {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                      {"abc", "YWJj"}, {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(base64(v[0]), v[1]);
        EXPECT_EQ(unbase64(v[1]), v[0]);
    }
    EXPECT_EQ(unbase64("YW Jj"), "abc");
    EXPECT_EQ(unbase64("Zm9v\r\nYmFy\n"), "foobar");
    EXPECT_EQ(unbase64("Zg==Zm8="), "ffo");  // "=" restarts the group
    EXPECT_EQ(unbase64("!!!"), "");
}

// Every byte value and every length up to 70 survive a round trip, also
// through the allocating forms.
TEST(SsBase64, RoundTrips)
{
    std::string data;
    for (int k = 0; k < 70; k++)
        data += (char)(k * 37 + 11);
    for (size_t len = 0; len <= data.size(); len++) {
        char* text = ss8base64encodemn(ma, data.data(), len);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(ss8len(text), 4 * ((len + 2) / 3));
        size_t out_len = 99;
        char* back = (char*)ss8base64decodem(ma, text, &out_len);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string(back, out_len), data.substr(0, len));
        EXPECT_EQ(back[out_len], 0);
        free_dh(text);
        free_dh(back);
    }
}

// Cut output: the terminator replaces the last character; decoding stores
// what fits and counts everything.
TEST(SsBase64, Truncation)
{
    char out[5];
    EXPECT_EQ(ss8base64encoden(out, sizeof out, "abcdef", 6), 8u);
    EXPECT_STREQ(out, "YWJj");
    EXPECT_EQ(ss8base64encoden(out, 4, "abc", 3), 4u);
    EXPECT_STREQ(out, "YWJ");
    EXPECT_EQ(ss8base64encoden(nullptr, 0, "a", 1), 4u);
    unsigned char bytes[2] = {0, 0};
    EXPECT_EQ(ss8base64decoden(bytes, 2, "YWJj", SS_UNBOUNDED), 3u);
    EXPECT_EQ(bytes[1], 'b');
}

TEST(SsHex, EncodeDecode)
{
    const unsigned char data[] = {0x0A, 0xFF};
    char out[8];
    EXPECT_EQ(ss8hexencoden(out, sizeof out, data, 2), 4u);
    EXPECT_STREQ(out, "0aff");
    EXPECT_EQ(ss8hexencoden(out, 4, data, 2), 4u);
    EXPECT_STREQ(out, "0af");
    unsigned char back[4] = {};
    EXPECT_EQ(ss8hexdecoden(back, sizeof back, "0A:ff", SS_UNBOUNDED), 2u);
    EXPECT_EQ(back[0], 0x0A);
    EXPECT_EQ(back[1], 0xFF);
    EXPECT_EQ(ss8hexdecoden(back, sizeof back, "1 2 3", SS_UNBOUNDED), 1u);  // odd digit dropped
    EXPECT_EQ(back[0], 0x12);
    EXPECT_EQ(ss8hexdecoden(back, sizeof back, "zz4g1", SS_UNBOUNDED), 1u);  // g-z are separators
    EXPECT_EQ(back[0], 0x41);
    size_t len = 0;
    char* m = (char*)ss8hexdecodem(ma, "414243", &len);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(len, 3u);
    EXPECT_STREQ(m, "ABC");
    free_dh(m);
    char* e = ss8hexencodem(ma, "\x01\x23", 2);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "0123");
    free_dh(e);
}

TEST(SsMarkup, EscapeAndUnescape)
{
    char out[64];
    const std::string escaped = "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;";
    EXPECT_EQ(ss8mlescinn1(out, sizeof out, "a<b & \"c\" 'd'>"), escaped.size());
    EXPECT_EQ(out, escaped);
    const std::string plain = "a<b &amp; &nope; &gt";
    EXPECT_EQ(ss8mlescoutn1(out, sizeof out, "a&LT;b &amp;amp; &nope; &gt"), plain.size());
    EXPECT_EQ(out, plain);
    EXPECT_EQ(ss8mlescinn1(out, 4, "<<"), 8u);  // cut: last unit replaced
    EXPECT_STREQ(out, "&lt");
    char* m = ss8mlescinm(ma, "x&y");
    ASSERT_NE(m, nullptr);
    char* back = ss8mlescoutm(ma, m);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, "x&y");
    free_dh(m);
    free_dh(back);
}

} // namespace
