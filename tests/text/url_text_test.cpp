#include "text/url_text.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Decoded {
    std::string text;
    bool control;
};

Decoded decode(const std::string& url) {
    std::string buffer = url;
    bool control = percent_decode(buffer.data());
    return {buffer.c_str(), control};
}

TEST(PercentDecode, TwoHexDigitsOfEitherCaseBecomeTheirByte) {
    EXPECT_EQ(decode("/my%20file.txt").text, "/my file.txt");
    EXPECT_EQ(decode("/%C4%8De%c5%a1tina.txt").text, "/\xc4\x8d"
                                                     "e\xc5\xa1tina.txt");
    EXPECT_EQ(decode("/%23%3F%25%27").text, "/#?%'");
    EXPECT_FALSE(decode("/my%20file.txt").control);
}

TEST(PercentDecode, MalformedEscapesAndPlusStayAsTheyAre) {
    EXPECT_EQ(decode("/a%4").text, "/a%4");
    EXPECT_EQ(decode("/a%").text, "/a%");
    EXPECT_EQ(decode("/%zz%4g%g4").text, "/%zz%4g%g4");
    EXPECT_EQ(decode("/a+b").text, "/a+b");
    // Decoded once only: "%25" gives a "%" that starts nothing new.
    EXPECT_EQ(decode("/%252e%252e").text, "/%2e%2e");
}

TEST(PercentDecode, EncodedSeparatorsAndDotsComeOutAsThemselves) {
    EXPECT_EQ(decode("/%2e%2e%2fsecret").text, "/../secret");
    EXPECT_EQ(decode("/%2E%2e%5cx").text, "/..\\x");
    EXPECT_EQ(decode("/..%2f").text, "/../");
}

TEST(PercentDecode, ControlBytesAreReported) {
    EXPECT_TRUE(decode("/a%00.txt").control);
    EXPECT_EQ(decode("/a%00.txt").text, "/a");
    EXPECT_TRUE(decode("/a%0d%0a").control);
    EXPECT_TRUE(decode("/a%1F").control);
    EXPECT_TRUE(decode("/a%7f").control);
    EXPECT_TRUE(decode("/raw\ttab").control);
    EXPECT_FALSE(decode("/a%20%7e%80%ff").control);
}

std::string html(const std::string& text) {
    char out[512];
    escape_html(out, text.c_str());
    return out;
}

std::string href(const std::string& target) {
    char out[1024];
    encode_href(out, target.c_str());
    return out;
}

TEST(EscapeHtml, MarkupCharactersBecomeEntities) {
    EXPECT_EQ(html("a&b<i>.txt"), "a&amp;b&lt;i&gt;.txt");
    EXPECT_EQ(html("\"q\" 'a' #?%"), "&quot;q&quot; 'a' #?%");
    EXPECT_EQ(html("\xc4\x8d\xff"), "\xc4\x8d\xff");
    // The worst case fits the room promised for it.
    char out[3 * HTML_ESCAPE_EXPANSION + 1];
    escape_html(out, "\"\"\"");
    EXPECT_EQ(std::string(out), "&quot;&quot;&quot;");
}

TEST(EncodeHref, OnlyUnreservedBytesAndBackslashesStay) {
    EXPECT_EQ(href("\\my file.txt"), "\\my%20file.txt");
    EXPECT_EQ(href("\\\xc4\x8d"
                   "e\xc5\xa1tina.txt"),
              "\\%C4%8De%C5%A1tina.txt");
    EXPECT_EQ(href("\\a&b<i>.txt"), "\\a%26b%3Ci%3E.txt");
    EXPECT_EQ(href("\\#?%'\"/+"), "\\%23%3F%25%27%22%2F%2B");
    EXPECT_EQ(href("\\AZaz09-._~"), "\\AZaz09-._~");
    EXPECT_EQ(href("\\\x7f\x80\xff"), "\\%7F%80%FF");
}

TEST(EncodeHref, AnEmptyTargetIsTheRoot) {
    EXPECT_EQ(href(""), "\\");
    char out[2];
    encode_href(out, "");
    EXPECT_EQ(std::string(out), "\\");
}

} // namespace
