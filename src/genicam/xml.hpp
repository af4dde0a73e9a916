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
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oculane::xml {

// The element names a reader of the tree asks for. Each element gets the
// position of its local name in this list when the tree is built, so that a
// reader finds a child by comparing one small integer instead of a string,
// and known names take no room in the document's text pool. A vocabulary
// must outlive every document built with it (make it a static).
class Vocabulary {
public:
    using Id = std::uint16_t;
    static constexpr Id kUnknown = 0xFFFF;

    // At most 1024 names; the names must outlive the vocabulary.
    explicit Vocabulary(std::span<const std::string_view> names);

    Id find(std::string_view name) const;
    std::string_view name(Id id) const { return names_[id]; }
    std::size_t size() const { return names_.size(); }

private:
    static constexpr std::size_t kSlots = 2048;  // open addressing, a power of two
    static std::size_t hash(std::string_view name);
    std::span<const std::string_view> names_;
    std::vector<Id> slots_;
};

struct ParseOptions {
    // Descriptions from devices may carry a document type declaration with
    // internal entities (expanded); our own fixed fragments never do.
    bool allow_doctype = true;
    // Names to give ids to; none: every element's name_id() is kUnknown.
    const Vocabulary* vocabulary = nullptr;
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
    // Position of the local name in the document's vocabulary, or
    // Vocabulary::kUnknown.
    Vocabulary::Id name_id() const;
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
    // Another element of the same document, by its index().
    Element element_at(std::uint32_t index) const { return Element(doc_, index); }

    // Direct child elements in document order.
    class Iterator {
    public:
        using value_type = Element;
        using difference_type = std::ptrdiff_t;
        Iterator() = default;
        Iterator(const Document* doc, std::uint32_t index) : doc_(doc), index_(index) {}
        Element operator*() const { return Element(doc_, index_); }
        inline Iterator& operator++();
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
    // 32 bytes: one per element, so the table is most of the tree.
    struct ElementRecord {
        Span name;  // local name; not stored when it is in the vocabulary
        Vocabulary::Id name_id = Vocabulary::kUnknown;
        // Attributes are appended element by element, so an element's run
        // ends where the next element's starts.
        std::uint32_t first_attribute = 0;
        std::uint32_t first_child = Element::kNone;
        std::uint32_t next_sibling = Element::kNone;
        Span text{Element::kNone, 0};  // offset kNone: no text
        bool has_text() const { return text.offset != Element::kNone; }
    };
    struct AttributeRecord {
        Span name;
        Span value;
    };

    std::string_view view(Span s) const { return std::string_view(pool_.data() + s.offset, s.length); }

    std::string pool_;
    std::vector<ElementRecord> elements_;
    std::vector<AttributeRecord> attributes_;
    const Vocabulary* vocabulary_ = nullptr;
};

// The accessors a tree walk calls for every element, inline.
inline Vocabulary::Id Element::name_id() const { return doc_->elements_[index_].name_id; }

inline std::string_view Element::name() const {
    const auto& e = doc_->elements_[index_];
    if (e.name_id != Vocabulary::kUnknown) return doc_->vocabulary_->name(e.name_id);
    return doc_->view(e.name);
}

inline std::optional<std::string_view> Element::text() const {
    const auto& e = doc_->elements_[index_];
    if (!e.has_text()) return std::nullopt;
    return doc_->view(e.text);
}

inline Element::Iterator& Element::Iterator::operator++() {
    index_ = doc_->elements_[index_].next_sibling;
    return *this;
}

inline Element::Children Element::children() const {
    return Children{Iterator(doc_, doc_->elements_[index_].first_child), Iterator(doc_, kNone)};
}

}  // namespace oculane::xml
