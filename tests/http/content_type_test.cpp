#include "http/content_type.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ContentType, ByTheLastExtensionOfTheLastNameIgnoringCase) {
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\index.html"), "text/html");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\A.HTM"), "text/html");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\notes.txt"), "text/plain");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\x.tar.gz"), "application/gzip");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\Pic.PnG"), "image/png");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\app.mjs"), "text/javascript");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\m.wasm"), "application/wasm");
}

TEST(ContentType, EverythingElseIsOctetStream) {
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\README"), "application/octet-stream");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\x."), "application/octet-stream");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\x.exe"), "application/octet-stream");
    EXPECT_STREQ(content_type_for("/srv/wwwroot\\x.htmlx"), "application/octet-stream");
    // A dot in a directory's name is not the file's extension.
    EXPECT_STREQ(content_type_for("/srv/www.root\\sub.txt\\data"), "application/octet-stream");
    EXPECT_STREQ(content_type_for("/srv/wwwroot/dir.png/file"), "application/octet-stream");
}

} // namespace
