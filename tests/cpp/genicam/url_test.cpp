#include <gtest/gtest.h>

#include "genicam/url.hpp"

using namespace oculane;

TEST(XmlUrlParse, LocalLocations) {
    struct Case {
        const char* text;
        const char* name;
        std::uint64_t address;
        std::uint64_t size;
        bool zip;
    };
    const Case cases[] = {
        {"Local:cam.zip;10000;400", "cam.zip", 0x10000, 0x400, true},
        {"local:Cam.ZIP;8000;100", "Cam.ZIP", 0x8000, 0x100, true},
        {"LOCAL: spaced.xml ; +ff ;  aBc  ;extra;more", "spaced.xml", 0xff, 0xabc, false},
        {"  local:x.xml;0;0\t", "x.xml", 0, 0, false},
        {"local:;1;2", "", 1, 2, false},
        {"local:x.xml;FFFFFFFFFFFFFFFF;1", "x.xml", 0xFFFFFFFFFFFFFFFFu, 1, false},
    };
    for (const auto& c : cases) {
        auto url = XmlUrl::parse(c.text);
        ASSERT_TRUE(url) << c.text << ": " << url.error();
        auto* local = url->get_if<XmlUrl::Local>();
        ASSERT_NE(local, nullptr) << c.text;
        EXPECT_EQ(local->file_name, c.name) << c.text;
        EXPECT_EQ(local->address, c.address) << c.text;
        EXPECT_EQ(local->size, c.size) << c.text;
        EXPECT_EQ(url->is_zip(), c.zip) << c.text;
    }
}

TEST(XmlUrlParse, NulPaddingIsTrimmed) {
    // Blanks go first, then NULs at either end.
    auto url = XmlUrl::parse(std::string_view("\0\0local:a.xml;1;2\0\0  ", 21));
    ASSERT_TRUE(url) << url.error();
    EXPECT_EQ(url->get_if<XmlUrl::Local>()->file_name, "a.xml");
    EXPECT_EQ(url->get_if<XmlUrl::Local>()->size, 2u);
}

TEST(XmlUrlParse, FileAndHttp) {
    auto f = XmlUrl::parse("file:///tmp/d.zip");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->get_if<XmlUrl::File>()->path, "/tmp/d.zip");
    EXPECT_TRUE(f->is_zip());

    auto rel = XmlUrl::parse("FILE:cam.XML");
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->get_if<XmlUrl::File>()->path, "cam.XML");
    EXPECT_FALSE(rel->is_zip());

    auto empty = XmlUrl::parse("file:");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->get_if<XmlUrl::File>()->path, "");

    for (const char* text : {"http://cam/desc.xml", "HTTPS://cam/desc.ZIP"}) {
        auto h = XmlUrl::parse(text);
        ASSERT_TRUE(h) << text;
        ASSERT_NE(h->get_if<XmlUrl::Http>(), nullptr) << text;
        EXPECT_EQ(h->get_if<XmlUrl::Http>()->url, text);
    }
    EXPECT_TRUE(XmlUrl::parse("HTTPS://cam/desc.ZIP")->is_zip());
}

TEST(XmlUrlParse, Errors) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"Local:x.xml;0x8000;100", "bad address: invalid digit found in string"},
        {"Local:x.xml;8000", "missing size"},
        {"Local:x.xml", "missing address"},
        {"Local:x.xml;;100", "bad address: cannot parse integer from empty string"},
        {"Local:x.xml;+;100", "bad address: cannot parse integer from empty string"},
        {"Local:x.xml;10000000000000000;100", "bad address: number too large to fit in target type"},
        {"Local:x.xml;100;-1", "bad size: invalid digit found in string"},
        {"Local:x.xml;100; ", "bad size: cannot parse integer from empty string"},
        {"ftp://cam/x.xml", "unrecognized GenICam URL 'ftp://cam/x.xml'"},
        {"  http:/x  ", "unrecognized GenICam URL 'http:/x'"},
        {"", "unrecognized GenICam URL ''"},
        {"loca:x;1;2", "unrecognized GenICam URL 'loca:x;1;2'"},
    };
    for (const auto& c : cases) {
        auto url = XmlUrl::parse(c.text);
        ASSERT_FALSE(url) << c.text;
        EXPECT_EQ(url.error(), c.error) << c.text;
    }
}
