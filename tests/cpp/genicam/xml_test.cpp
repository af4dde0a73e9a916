#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "genicam/xml.hpp"

using namespace oculane;
using xml::Document;

namespace {

Document must_parse(std::string_view text, xml::ParseOptions options = {}) {
    auto doc = Document::parse(text, options);
    EXPECT_TRUE(doc.has_value()) << (doc ? "" : doc.error());
    if (!doc) std::abort();
    return std::move(*doc);
}

std::vector<std::string> child_names(xml::Element e) {
    std::vector<std::string> out;
    for (xml::Element c : e.children()) out.emplace_back(c.name());
    return out;
}

}  // namespace

TEST(XmlTree, ChildrenInDocumentOrderSkippingTextCommentsAndInstructions) {
    Document doc = must_parse(
        "<Root><A/>text<!-- c --><B><Inner/></B><?pi data?><C>x</C><A Name='second'/></Root>");
    EXPECT_EQ(doc.root().name(), "Root");
    EXPECT_EQ(child_names(doc.root()), (std::vector<std::string>{"A", "B", "C", "A"}));
    // The first child of that name counts.
    auto a = doc.root().child("A");
    ASSERT_TRUE(a.has_value());
    EXPECT_FALSE(a->attribute("Name").has_value());
    EXPECT_FALSE(doc.root().child("Inner").has_value()) << "only direct children";
    EXPECT_EQ(child_names(*doc.root().child("B")), std::vector<std::string>{"Inner"});
}

TEST(XmlTree, TextIsTheCharacterDataBeforeTheFirstChildElement) {
    const struct {
        const char* xml;
        std::optional<std::string> text;
    } cases[] = {
        {"<V>42</V>", "42"},
        {"<V>  42 \n</V>", "  42 \n"},  // trimming is the caller's business
        {"<V></V>", std::nullopt},
        {"<V/>", std::nullopt},
        {"<V><X/>42</V>", std::nullopt},
        {"<V><!-- c --></V>", std::nullopt},
        {"<V>4<X/>2</V>", "4"},
        // Comments and processing instructions are not content.
        {"<V><!-- c -->42</V>", "42"},
        {"<V><?pi?>42</V>", "42"},
        {"<V>(((<!-- A &amp;&amp; -->B )) )? 1 : 0</V>", "(((B )) )? 1 : 0"},
        {"<V>4<!-- c -->2<X/>3</V>", "42"},
        {"<V>a&amp;b&lt;c</V>", "a&b<c"},
        {"<V><![CDATA[x<y]]></V>", "x<y"},
        {"<V>a<![CDATA[<b>]]>c</V>", "a<b>c"},
        {"<V>&#x41;&#66;</V>", "AB"},
    };
    for (const auto& c : cases) {
        Document doc = must_parse(c.xml);
        auto t = doc.root().text();
        EXPECT_EQ(t ? std::optional<std::string>(std::string(*t)) : std::nullopt, c.text) << c.xml;
    }
}

TEST(XmlTree, ParentTextSurvivesNestedChildrenWithText) {
    // The pool is shared; a parent's text must not absorb its children's.
    Document doc = must_parse("<R>head<A>one</A><B>two<C>three</C></B>tail</R>");
    EXPECT_EQ(doc.root().text(), "head");
    EXPECT_EQ(doc.root().child("A")->text(), "one");
    EXPECT_EQ(doc.root().child("B")->text(), "two");
    EXPECT_EQ(doc.root().child("B")->child("C")->text(), "three");
}

TEST(XmlTree, NamespacePrefixesAreNotCompared) {
    Document doc = must_parse(
        "<g:Root xmlns:g='urn:x' xmlns='urn:y'><g:Integer Name='W'/><Float/></g:Root>");
    EXPECT_EQ(doc.root().name(), "Root");
    EXPECT_EQ(child_names(doc.root()), (std::vector<std::string>{"Integer", "Float"}));
    EXPECT_EQ(doc.root().child("Integer")->attribute("Name"), "W");
}

TEST(XmlTree, AttributesByNameWithEntitiesExpanded) {
    Document doc = must_parse("<R Name='a&amp;b' Other=\"2\" Empty=''/>");
    EXPECT_EQ(doc.root().attribute("Name"), "a&b");
    EXPECT_EQ(doc.root().attribute("Other"), "2");
    EXPECT_EQ(doc.root().attribute("Empty"), "");
    EXPECT_FALSE(doc.root().attribute("name").has_value());
}

TEST(XmlTree, DoctypeWithInternalEntitiesIsExpandedWhenAllowed) {
    const char* text =
        "<?xml version='1.0'?>\n"
        "<!DOCTYPE R [<!ENTITY base '0x100'><!ENTITY n 'Width'>]>\n"
        "<R><Address>&base;</Address><X Name='&n;'/></R>";
    Document doc = must_parse(text);
    EXPECT_EQ(doc.root().child("Address")->text(), "0x100");
    EXPECT_EQ(doc.root().child("X")->attribute("Name"), "Width");

    auto refused = Document::parse(text, xml::ParseOptions{.allow_doctype = false});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "document type declaration not allowed at line 2, column 13");
}

TEST(XmlTree, MalformedInputNamesTheProblemAndPosition) {
    const struct {
        const char* xml;
        const char* error;
    } cases[] = {
        {"", "no element found at line 1, column 1"},
        {"<A><B></A>", "mismatched tag at line 1, column 9"},
        {"<A>\n  <B x='1' x='2'/></A>", "duplicate attribute at line 2, column 12"},
        {"<A>&undefined;</A>", "undefined entity at line 1, column 4"},
        {"<A/><B/>", "junk after document element at line 1, column 5"},
        {"<A>", "no element found at line 1, column 4"},
    };
    for (const auto& c : cases) {
        auto doc = Document::parse(c.xml);
        ASSERT_FALSE(doc.has_value()) << c.xml;
        EXPECT_EQ(doc.error(), c.error) << c.xml;
    }
}

// Inputs built to exhaust memory or stack must end in a clear error.
TEST(XmlHostile, BillionLaughsIsRefused) {
    std::string text = "<?xml version='1.0'?>\n<!DOCTYPE R [\n<!ENTITY l0 'lollollollollollollollollollol'>\n";
    for (int i = 1; i <= 9; ++i) {
        text += "<!ENTITY l" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j) text += "&l" + std::to_string(i - 1) + ";";
        text += "'>\n";
    }
    text += "]>\n<R>&l9;</R>";
    auto doc = Document::parse(text);
    ASSERT_FALSE(doc.has_value());
    EXPECT_NE(doc.error().find("amplification"), std::string::npos) << doc.error();
    EXPECT_NE(doc.error().find(" at line "), std::string::npos) << doc.error();
}

TEST(XmlHostile, DeepNestingIsRefusedWithoutRecursion) {
    constexpr int kDepth = 100'000;
    std::string text;
    text.reserve(kDepth * 7);
    for (int i = 0; i < kDepth; ++i) text += "<Group>";
    for (int i = 0; i < kDepth; ++i) text += "</Group>";
    auto doc = Document::parse(text);
    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(doc.error(), "elements nested deeper than 1024 levels at line 1, column 7169");
}

TEST(XmlHostile, NestingUpToTheLimitIsAccepted) {
    std::string text;
    for (std::size_t i = 0; i < xml::kMaxDepth; ++i) text += "<G>";
    for (std::size_t i = 0; i < xml::kMaxDepth; ++i) text += "</G>";
    Document doc = must_parse(text);
    EXPECT_EQ(doc.element_count(), xml::kMaxDepth);
}

TEST(XmlHostile, HugeAttributeIsRefusedAndMemoryStaysBounded) {
    constexpr std::size_t kSize = 50u << 20;
    std::string text = "<R><Integer Name='";
    text.append(kSize, 'a');
    text += "'/></R>";
    auto doc = Document::parse(text);
    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(doc.error().substr(0, 24), "attribute 'Name' longer ");
    EXPECT_NE(doc.error().find(" at line 1, column "), std::string::npos) << doc.error();
}

TEST(XmlHostile, LargeTextIsKeptWhole) {
    // Texts have no length limit of their own (only the pool's total).
    std::string body(3u << 20, 'x');
    Document doc = must_parse("<R>" + body + "</R>");
    EXPECT_EQ(doc.root().text()->size(), body.size());
}

// Makers' tools put comments (or a byte-order mark and blank lines) ahead of
// the XML declaration; those are skipped, anything else there is refused, and
// error positions count from the start of the whole text.
TEST(XmlTree, OnlyCommentsWhiteSpaceAndAByteOrderMarkMayPrecedeTheDeclaration) {
    const struct {
        const char* what;
        std::string text;
        const char* error;  // nullptr: parses, with root R
    } cases[] = {
        {"comment", "<!-- dump -->\r\n<?xml version='1.0'?>\n<R/>", nullptr},
        {"two comments and blanks", "\n <!-- a --> <!-- b -->\n\n<?xml version='1.0'?><R/>", nullptr},
        {"mark, blank, comment", "\xEF\xBB\xBF\n<!-- c --><?xml version=\"1.0\" encoding=\"utf-8\"?><R/>", nullptr},
        {"mark", "\xEF\xBB\xBF<?xml version='1.0'?><R/>", nullptr},
        {"text before", "junk<?xml version='1.0'?><R/>", "not well-formed (invalid token) at line 1, column 5"},
        {"element before", "<A/><?xml version='1.0'?><R/>",
         "junk after document element at line 1, column 5"},
        {"open comment", "<!-- never closed <?xml version='1.0'?><R/>", "unclosed token at line 1, column 1"},
        {"error after a comment", "<!-- one\ntwo -->\n<?xml version='1.0'?>\n<R><A></R>",
         "mismatched tag at line 4, column 9"},
        {"error on the declaration's line", "<!-- c --><?xml version='1.0'?><R><A></R>",
         "mismatched tag at line 1, column 40"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto doc = Document::parse(c.text);
        if (c.error == nullptr) {
            ASSERT_TRUE(doc.has_value()) << doc.error();
            EXPECT_EQ(doc->root().name(), "R");
        } else {
            ASSERT_FALSE(doc.has_value());
            EXPECT_EQ(doc.error(), c.error);
        }
    }
}
