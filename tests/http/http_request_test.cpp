#include "http/http_request.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Split {
    std::string method;
    std::string url;
};

Split split(const std::string& line) {
    HttpMethodText method;
    HttpUrlText url;
    (void)split_request_line(line.c_str(), method, url);
    return {method, url};
}

TEST(SplitRequestLine, TakesMethodAndUrl) {
    Split s = split("GET /docs/a.html HTTP/1.0");
    EXPECT_EQ(s.method, "GET");
    EXPECT_EQ(s.url, "/docs/a.html");
    s = split("POST    /x HTTP/1.0");
    EXPECT_EQ(s.method, "POST");
    EXPECT_EQ(s.url, "/x");
}

TEST(SplitRequestLine, ScansForwardToTheFirstSlash) {
    EXPECT_EQ(split("GET index.html HTTP/1.0").url, "/1.0");
    EXPECT_EQ(split("GET x").url, "");
    EXPECT_EQ(split("").method, "");
    EXPECT_EQ(split("").url, "");
}

TEST(SplitRequestLine, CutsLongMethodAndCarriesTheScanThroughIt) {
    Split s = split("GETGETGETGET /a HTTP/1.0");
    EXPECT_EQ(s.method, "GETGETGETG");
    EXPECT_EQ(s.url, "/a");
}

TEST(SplitRequestLine, UrlIsCutAt256Characters) {
    std::string url = std::string("/").append(300, 'u');
    EXPECT_EQ(split("GET " + url + " HTTP/1.0").url, url.substr(0, 256));
}

TEST(SplitRequestLine, AbsoluteTargetStartsAtThePathAfterTheHost) {
    EXPECT_EQ(split("GET http://host/a.html HTTP/1.0").url, "/a.html");
    EXPECT_EQ(split("GET svn+ssh.1-x://host/a.html HTTP/1.0").url, "/a.html");
    EXPECT_EQ(split("GET http://host HTTP/1.0").url, "/1.0");
    EXPECT_EQ(split("GET http://host").url, "");
    EXPECT_EQ(split("GET http://h//x/y").url, "/x/y");
}

TEST(SplitRequestLine, LeadingSlashesAreEmptyNamesNotAHost) {
    EXPECT_EQ(split("GET //sub/hello.html HTTP/1.1").url, "/sub/hello.html");
    EXPECT_EQ(split("GET //one.bin HTTP/1.1").url, "/one.bin");
    EXPECT_EQ(split("GET ///sub/x HTTP/1.0").url, "/sub/x");
    EXPECT_EQ(split("GET ////").url, "/");
    // Not a scheme: no letter first, or no ":" before the "//".
    EXPECT_EQ(split("GET 1http://h/x HTTP/1.0").url, "/h/x");
    EXPECT_EQ(split("GET a//b/c HTTP/1.0").url, "/b/c");
}

TEST(ContentLength, NameMatchesInAnyAsciiCase) {
    int32_t length = 0;
    EXPECT_TRUE(read_content_length("content-LENGTH: 12", length));
    EXPECT_EQ(length, 12);
    EXPECT_TRUE(read_content_length("Content-length:-5", length));
    EXPECT_EQ(length, -5);
    EXPECT_TRUE(read_content_length("Content-Length: abc", length));
    EXPECT_EQ(length, 0);
    length = 7;
    EXPECT_FALSE(read_content_length("Content-Type: 12", length));
    EXPECT_FALSE(read_content_length("Content-length", length));
    EXPECT_EQ(length, 7);
}

TEST(DotDotSegment, FoundBetweenAnySeparatorsOrAtTheEnds) {
    EXPECT_TRUE(has_dotdot_segment("/../x"));
    EXPECT_TRUE(has_dotdot_segment("/.."));
    EXPECT_TRUE(has_dotdot_segment("/..\\secret.txt"));
    EXPECT_TRUE(has_dotdot_segment("/sub\\..\\..\\x"));
    EXPECT_TRUE(has_dotdot_segment("/sub/.."));
    EXPECT_TRUE(has_dotdot_segment(".."));
    EXPECT_FALSE(has_dotdot_segment("/..."));
    EXPECT_FALSE(has_dotdot_segment("/a..b/..c/d.."));
    EXPECT_FALSE(has_dotdot_segment("/./."));
}

TEST(Method, OnlyExactGetAndPost) {
    EXPECT_TRUE(method_allowed("GET"));
    EXPECT_TRUE(method_allowed("POST"));
    EXPECT_FALSE(method_allowed("get"));
    EXPECT_FALSE(method_allowed("post"));
    EXPECT_FALSE(method_allowed("GETX"));
    EXPECT_FALSE(method_allowed("POSTS"));
    EXPECT_FALSE(method_allowed("HEAD"));
    EXPECT_FALSE(method_allowed(""));
}

TEST(CutQuery, AtTheFirstQuestionMark) {
    char url[] = "/a.html?x=1?y";
    cut_query(url);
    EXPECT_STREQ(url, "/a.html");
}

class UrlCheck : public ::testing::Test {
  protected:
    HttpVerdict check(const std::string& url) {
        HttpVerdict verdict = check_url(url.c_str());
        return verdict == HttpVerdict::serve ? form_web_path(url.c_str(), base_dir_, path_)
                                             : verdict;
    }
    const char* base_dir_ = "/srv/pelmar/";
    HttpPathText path_ = {};
};

TEST_F(UrlCheck, FormsTheWebPathWithBackslashes) {
    EXPECT_EQ(check("/docs/a.html"), HttpVerdict::serve);
    EXPECT_STREQ(path_, "/srv/pelmar/wwwroot\\docs\\a.html");
    EXPECT_EQ(check("/"), HttpVerdict::serve);
    EXPECT_STREQ(path_, "/srv/pelmar/wwwroot\\");
}

TEST_F(UrlCheck, RefusesUrlsNotStartingWithSlash) {
    EXPECT_EQ(check(""), HttpVerdict::url_not_rooted);
    EXPECT_EQ(check("\\a"), HttpVerdict::url_not_rooted);
}

TEST_F(UrlCheck, RefusesEveryDotDotSegment) {
    for (const char* url :
         {"/../x", "/..", "/..\\secret.txt", "/sub\\..\\..\\x", "/sub/..", "/a/../b"}) {
        EXPECT_EQ(check(url), HttpVerdict::url_dotdot) << url;
    }
}

TEST_F(UrlCheck, RefusesADotDotThatTheCutToThePathLimitWouldMake) {
    // "/srv/pelmar/wwwroot" is 19 characters, so 236 are left for the URL.
    std::string url = std::string("/").append(232, 'a') + "/...";
    ASSERT_EQ(url.size(), 237u);
    EXPECT_EQ(check(url), HttpVerdict::url_dotdot);
    EXPECT_EQ(check(url.substr(0, 236)), HttpVerdict::url_dotdot);
    EXPECT_EQ(check(url.substr(0, 237 - 1 - 1) + "x"), HttpVerdict::serve);
    EXPECT_EQ(std::string(path_).size(), 255u);
}

TEST_F(UrlCheck, APathPastTheLimitNamesNothing) {
    // Cut to 255 characters it would name "/srv/pelmar/wwwroot/aaa...".
    EXPECT_EQ(check(std::string("/").append(235, 'a') + "/f.txt"), HttpVerdict::path_unreachable);
    EXPECT_EQ(check(std::string("/").append(236, 'a')), HttpVerdict::path_unreachable);
}

TEST(ParseRequestLine, AUrlThatACutLineEndsInNamesNothing) {
    auto cut = [](const std::string& line, bool line_was_cut) {
        HttpRequest request;
        parse_request_line(line.c_str(), line_was_cut, request);
        return request.cut;
    };
    const std::string long_path = std::string("/").append(251, 'a');
    EXPECT_TRUE(cut("GET " + long_path, true));
    EXPECT_TRUE(cut("POST /a.txt?" + std::string(243, 'q'), true));
    EXPECT_FALSE(cut("GET " + long_path, false));
    // The cut fell into the version word, or into a GET's query.
    EXPECT_FALSE(cut("GET /a.txt HTTP/1.0 " + std::string(236, 'x'), true));
    EXPECT_FALSE(cut("GET /a.txt?" + std::string(244, 'q'), true));
}

} // namespace
