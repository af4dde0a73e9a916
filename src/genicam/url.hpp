#pragma once
// Where a camera keeps its GenICam description: the text of one of the two
// bootstrap URL registers, e.g. "Local:cam.zip;10000;400" (in device memory),
// "file:///opt/cam.xml" (on this machine) or an http(s) location (refused
// later, but recognised here so the error says why).

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace oculane {

class XmlUrl {
public:
    struct Local {
        std::string file_name;
        std::uint64_t address = 0;
        std::uint64_t size = 0;
    };
    struct File {
        std::string path;
    };
    struct Http {
        std::string url;
    };
    using Variant = std::variant<Local, File, Http>;

    XmlUrl(Variant v) : v_(std::move(v)) {}  // NOLINT: implicit by design

    // Errors: "unrecognized GenICam URL '{}'", "missing address", "missing
    // size", "bad address: {}", "bad size: {}" (the last two with the number
    // parser's reason).
    static std::expected<XmlUrl, std::string> parse(std::string_view text);

    // True when the named file, ASCII-lower-cased, ends with ".zip".
    bool is_zip() const;

    const Variant& variant() const { return v_; }
    template <class T>
    const T* get_if() const { return std::get_if<T>(&v_); }

private:
    Variant v_;
};

}  // namespace oculane
