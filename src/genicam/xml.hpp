#pragma once
// A small read-only XML element tree built from expat's callbacks: element
// local names, attributes by name, children in document order and the text
// an element starts with. It lives only while a description is turned
// into a node map, so it is stored flat (one text pool, one element array)
// rather than as a pointer tree: building, walking and freeing never recurse,
// whatever the nesting depth of the input.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oculane::xml {

struct ParseOptions {
    // Descriptions from devices may carry a document type declaration with
    // internal entities (expanded); our own fixed fragments never do.
    bool allow_doctype = true;
};

// Input that no real description needs and that would only cost memory or
// time: deeper nesting and longer attribute values are refused with an error.
inline constexpr std::size_t kMaxDepth = 1024;
inline constexpr std::size_t kMaxAttributeLength = 1 << 20;
// Entity expansion may multiply the input at most this many times (expat's
// own billion-laughs guard, tightened from its default).
inline constexpr float kMaxAmplification = 20.0F;
// Total bytes of names, attribute values and texts kept in the tree.
inline constexpr std::size_t kMaxPoolBytes = std::size_t{512} << 20;

class Document;

// A view of one element; valid while its Document lives.
class Element {
public:
    Element() = default;

    // Local name: the part after the last ':' of the qualified name.
    std::string_view name() const;
    // Value of the attribute with exactly this (qualified) name.
    std::optional<std::string_view> attribute(std::string_view name) const;
    // Untrimmed character data before the first child element (entities
    // expanded, CDATA included). Comments and processing instructions are not
    // content: a formula split by a comment reads as one text, and a value
    // after a leading comment is still the value. Absent when the element is
    // empty or starts with a child element.
    std::optional<std::string_view> text() const;
    // First direct child element with exactly this local name.
    std::optional<Element> child(std::string_view name) const;

    // Direct child elements in document order.
    class Iterator {
    public:
        using value_type = Element;
        using difference_type = std::ptrdiff_t;
        Iterator() = default;
        Iterator(const Document* doc, std::uint32_t index) : doc_(doc), index_(index) {}
        Element operator*() const { return Element(doc_, index_); }
        Iterator& operator++();
        Iterator operator++(int) {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& o) const { return index_ == o.index_; }

    private:
        const Document* doc_ = nullptr;
        std::uint32_t index_ = kNone;
    };
    struct Children {
        Iterator b, e;
        Iterator begin() const { return b; }
        Iterator end() const { return e; }
    };
    Children children() const;

    std::uint32_t index() const { return index_; }

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

private:
    friend class Document;
    Element(const Document* doc, std::uint32_t index) : doc_(doc), index_(index) {}
    const Document* doc_ = nullptr;
    std::uint32_t index_ = kNone;
};

class Document {
public:
    // Parses a whole document held in memory. The error text names the
    // problem and its position ("... at line L, column C").
    static std::expected<Document, std::string> parse(std::string_view text, ParseOptions options = {});

    Element root() const { return Element(this, 0); }
    std::size_t element_count() const { return elements_.size(); }

    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

private:
    friend class Element;
    friend class TreeBuilder;
    Document() = default;

    struct Span {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    struct ElementRecord {
        Span name;  // local name
        std::uint32_t first_attribute = 0;
        std::uint32_t attribute_count = 0;
        std::uint32_t first_child = Element::kNone;
        std::uint32_t next_sibling = Element::kNone;
        Span text;
        bool has_text = false;
    };
    struct AttributeRecord {
        Span name;
        Span value;
    };

    std::string_view view(Span s) const { return std::string_view(pool_).substr(s.offset, s.length); }

    std::string pool_;
    std::vector<ElementRecord> elements_;
    std::vector<AttributeRecord> attributes_;
};

}  // namespace oculane::xml
