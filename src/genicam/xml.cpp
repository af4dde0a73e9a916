#include "genicam/xml.hpp"

#include <limits>

// The system library is built with DTD support; the declarations of its
// amplification limits are only visible with this macro set.
#ifndef XML_DTD
#define XML_DTD 1
#endif
#include <expat.h>
#include <fmt/format.h>

namespace oculane::xml {

Vocabulary::Vocabulary(std::span<const std::string_view> names) : names_(names), slots_(kSlots, kUnknown) {
    for (std::size_t i = 0; i < names.size() && i < kSlots / 2; ++i) {
        if (find(names[i]) != kUnknown) continue;  // the first of a repeated name wins
        std::size_t at = hash(names[i]) & (kSlots - 1);
        while (slots_[at] != kUnknown) at = (at + 1) & (kSlots - 1);
        slots_[at] = static_cast<Id>(i);
    }
}

// Runs once per element, so only the length and three bytes are mixed;
// names that collide are told apart by the comparison after the probe.
std::size_t Vocabulary::hash(std::string_view name) {
    if (name.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(name[i])); };
    const std::uint32_t h = (static_cast<std::uint32_t>(name.size()) << 24) ^ (byte(0) << 16) ^
                            (byte(name.size() / 2) << 8) ^ byte(name.size() - 1);
    return (h * 2654435761u) >> 21;
}

Vocabulary::Id Vocabulary::find(std::string_view name) const {
    for (std::size_t at = hash(name) & (kSlots - 1);; at = (at + 1) & (kSlots - 1)) {
        const Id id = slots_[at];
        if (id == kUnknown) return kUnknown;
        if (names_[id] == name) return id;
    }
}

std::optional<std::string_view> Element::attribute(std::string_view name) const {
    const auto& elements = doc_->elements_;
    const std::size_t end =
        index_ + 1 < elements.size() ? elements[index_ + 1].first_attribute : doc_->attributes_.size();
    for (std::size_t i = elements[index_].first_attribute; i < end; ++i) {
        const auto& a = doc_->attributes_[i];
        if (doc_->view(a.name) == name) return doc_->view(a.value);
    }
    return std::nullopt;
}

std::optional<Element> Element::child(std::string_view name) const {
    for (Element c : children()) {
        if (c.name() == name) return c;
    }
    return std::nullopt;
}

namespace {

struct ParserDeleter {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

// Text skipped ahead of what expat is given, so that positions in messages
// still count from the start of the whole text.
struct Skipped {
    std::uint64_t lines = 0;         // line breaks in the skipped text
    std::uint64_t last_columns = 0;  // bytes after the last of them
};

std::string position(XML_Parser p, const Skipped& skipped) {
    const std::uint64_t line = XML_GetCurrentLineNumber(p);
    std::uint64_t column = XML_GetCurrentColumnNumber(p) + 1;
    if (line == 1) column += skipped.last_columns;
    return fmt::format("at line {}, column {}", line + skipped.lines, column);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Some makers' tools write a comment (or leave a byte-order mark and blank
// lines) ahead of the XML declaration, where the XML rules allow nothing.
// Returns where the declaration starts when only a UTF-8 byte-order mark,
// white space and comments precede it; 0 otherwise, and the text is then
// parsed as it is, so anything else there is still an error.
std::size_t misplaced_declaration(std::string_view text) {
    std::size_t i = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (;;) {
        while (i < text.size() && is_space(text[i])) ++i;
        if (!text.substr(i).starts_with("<!--")) break;
        const std::size_t end = text.find("-->", i + 4);
        if (end == std::string_view::npos) return 0;
        i = end + 3;
    }
    const std::string_view rest = text.substr(i);
    if (i == 0 || !rest.starts_with("<?xml") || rest.size() < 6 || !is_space(rest[5])) return 0;
    return i;
}

}  // namespace

// Receives expat's callbacks and appends to the flat tree. Text is kept only
// for the character data before an element's first child element, which is
// always the most recent thing appended to the pool while it accumulates,
// so every span stays contiguous.
class TreeBuilder {
public:
    TreeBuilder(XML_Parser parser, Document& doc, ParseOptions options, Skipped skipped)
        : parser_(parser), doc_(doc), options_(options), skipped_(skipped) {}

    static void XMLCALL on_start(void* self, const XML_Char* name, const XML_Char** atts) {
        static_cast<TreeBuilder*>(self)->start(name, atts);
    }
    static void XMLCALL on_end(void* self, const XML_Char*) { static_cast<TreeBuilder*>(self)->end(); }
    static void XMLCALL on_chars(void* self, const XML_Char* s, int len) {
        static_cast<TreeBuilder*>(self)->chars(std::string_view(s, static_cast<std::size_t>(len)));
    }
    static void XMLCALL on_doctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        auto* b = static_cast<TreeBuilder*>(self);
        if (!b->options_.allow_doctype) b->fail("document type declaration not allowed");
    }

    // Set when a limit of ours stopped the parser.
    const std::string& own_error() const { return own_error_; }

private:
    struct Open {
        std::uint32_t index;
        std::uint32_t last_child = Element::kNone;
        bool child_seen = false;  // a child element, or text already started
        bool in_text = false;     // text started and no child element yet
    };

    void fail(std::string message) {
        if (!own_error_.empty()) return;
        own_error_ = fmt::format("{} {}", message, position(parser_, skipped_));
        XML_StopParser(parser_, XML_FALSE);
    }

    bool append(std::string_view s, Document::Span& out) {
        if (doc_.pool_.size() + s.size() > kMaxPoolBytes) {
            fail(fmt::format("document holds more than {} MiB of text", kMaxPoolBytes >> 20));
            return false;
        }
        out.offset = static_cast<std::uint32_t>(doc_.pool_.size());
        out.length = static_cast<std::uint32_t>(s.size());
        doc_.pool_.append(s);
        return true;
    }

    void close_text() {
        if (open_.empty()) return;
        Open& top = open_.back();
        top.child_seen = true;
        top.in_text = false;
    }

    void start(const XML_Char* qname, const XML_Char** atts) {
        if (!own_error_.empty()) return;
        if (open_.size() >= kMaxDepth) {
            fail(fmt::format("elements nested deeper than {} levels", kMaxDepth));
            return;
        }
        close_text();
        if (doc_.elements_.size() >= Element::kNone - 1) {
            fail("too many elements");
            return;
        }
        auto index = static_cast<std::uint32_t>(doc_.elements_.size());
        Document::ElementRecord rec;
        std::string_view name(qname);
        if (auto colon = name.rfind(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
        if (options_.vocabulary != nullptr) rec.name_id = options_.vocabulary->find(name);
        if (rec.name_id == Vocabulary::kUnknown && !append(name, rec.name)) return;
        rec.first_attribute = static_cast<std::uint32_t>(doc_.attributes_.size());
        for (const XML_Char** a = atts; a[0] != nullptr; a += 2) {
            std::string_view attr_name(a[0]);
            std::string_view value(a[1]);
            if (value.size() > kMaxAttributeLength) {
                fail(fmt::format("attribute '{}' longer than {} bytes", attr_name.substr(0, 64),
                                 kMaxAttributeLength));
                return;
            }
            Document::AttributeRecord ar;
            if (!append(attr_name, ar.name) || !append(value, ar.value)) return;
            doc_.attributes_.push_back(ar);
        }
        doc_.elements_.push_back(rec);
        if (!open_.empty()) {
            Open& parent = open_.back();
            if (parent.last_child == Element::kNone) {
                doc_.elements_[parent.index].first_child = index;
            } else {
                doc_.elements_[parent.last_child].next_sibling = index;
            }
            parent.last_child = index;
        }
        open_.push_back(Open{index});
    }

    void end() {
        if (!own_error_.empty()) return;
        open_.pop_back();
        close_text();  // the element just closed was a child node of its parent
    }

    void chars(std::string_view s) {
        if (!own_error_.empty() || open_.empty()) return;
        Open& top = open_.back();
        auto& rec = doc_.elements_[top.index];
        if (!top.child_seen) {
            top.child_seen = true;
            top.in_text = true;
            rec.text.offset = static_cast<std::uint32_t>(doc_.pool_.size());
            rec.text.length = 0;
        }
        if (!top.in_text) return;
        if (doc_.pool_.size() + s.size() > kMaxPoolBytes) {
            fail(fmt::format("document holds more than {} MiB of text", kMaxPoolBytes >> 20));
            return;
        }
        doc_.pool_.append(s);
        rec.text.length += static_cast<std::uint32_t>(s.size());
    }

    XML_Parser parser_;
    Document& doc_;
    ParseOptions options_;
    Skipped skipped_;
    std::vector<Open> open_;
    std::string own_error_;
};

std::expected<Document, std::string> Document::parse(std::string_view text, ParseOptions options) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::unexpected(std::string("document larger than 2 GiB"));
    }
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter> parser(XML_ParserCreate(nullptr));
    if (!parser) return std::unexpected(std::string("out of memory creating the XML parser"));
    XML_Parser p = parser.get();

    Skipped skipped;
    if (const std::size_t start = misplaced_declaration(text); start > 0) {
        const std::string_view prefix = text.substr(0, start);
        for (char c : prefix) skipped.lines += c == '\n';
        const std::size_t last = prefix.rfind('\n');
        skipped.last_columns = last == std::string_view::npos ? prefix.size() : prefix.size() - last - 1;
        text.remove_prefix(start);
    }

    Document doc;
    doc.vocabulary_ = options.vocabulary;
    // Names and texts are a fraction of the input; reserving avoids the
    // doubling copies of a growing pool on large descriptions.
    doc.pool_.reserve(std::min(text.size(), kMaxPoolBytes));
    // Descriptions run at 40 to 50 bytes per element: one table, rarely regrown.
    doc.elements_.reserve(text.size() / 40 + 1);
    TreeBuilder builder(p, doc, options, skipped);

    XML_SetUserData(p, &builder);
    XML_SetElementHandler(p, &TreeBuilder::on_start, &TreeBuilder::on_end);
    XML_SetCharacterDataHandler(p, &TreeBuilder::on_chars);
    // Comments and processing instructions get no handler: they are not
    // content, so text on both sides of one reads as one run.
    XML_SetStartDoctypeDeclHandler(p, &TreeBuilder::on_doctype);
    // External entities and parameter entities are never fetched; internal
    // ones are expanded by expat itself within the amplification limit.
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(p, kMaxAmplification);

    // One call with the whole text: expat 2.5 re-scans an incomplete token on
    // every further chunk, which turns a huge token fed in pieces quadratic.
    XML_Status status = XML_Parse(p, text.data(), static_cast<int>(text.size()), XML_TRUE);
    if (!builder.own_error().empty()) return std::unexpected(builder.own_error());
    if (status != XML_STATUS_OK) {
        return std::unexpected(fmt::format("{} {}", XML_ErrorString(XML_GetErrorCode(p)), position(p, skipped)));
    }
    if (doc.elements_.empty()) return std::unexpected(std::string("no root element"));
    return doc;
}

}  // namespace oculane::xml
