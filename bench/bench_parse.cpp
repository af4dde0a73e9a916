// Description parsing: time and peak heap for the largest description of the
// shared corpus and for a synthetic one ten times its size, with a bare expat
// pass over the same text as the baseline of each.
//
// Heap is counted by wrapping the C allocator of this executable (every
// allocation of the parser, expat's included, goes through it), so the peak is
// exact and independent of how the kernel accounts pages.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <expat.h>
#include <fmt/format.h>

#include "genicam/parser.hpp"
#include "genicam/xml.hpp"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<long long> g_heap{0};
std::atomic<long long> g_peak{0};

void account(long long delta) {
    long long now = g_heap.fetch_add(delta, std::memory_order_relaxed) + delta;
    long long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void* track(void* p) {
    if (p != nullptr) account(static_cast<long long>(malloc_usable_size(p)));
    return p;
}

}  // namespace

extern "C" {
void* malloc(std::size_t n) { return track(__libc_malloc(n)); }
void* calloc(std::size_t n, std::size_t size) { return track(__libc_calloc(n, size)); }
void free(void* p) {
    if (p != nullptr) account(-static_cast<long long>(malloc_usable_size(p)));
    __libc_free(p);
}
void* realloc(void* p, std::size_t n) {
    long long before = p != nullptr ? static_cast<long long>(malloc_usable_size(p)) : 0;
    void* q = __libc_realloc(p, n);
    if (q != nullptr) {
        account(static_cast<long long>(malloc_usable_size(q)) - before);
    } else if (n == 0 && p != nullptr) {
        account(-before);
    }
    return q;
}
void* memalign(std::size_t align, std::size_t n) { return track(__libc_memalign(align, n)); }
void* aligned_alloc(std::size_t align, std::size_t n) { return track(__libc_memalign(align, n)); }
int posix_memalign(void** out, std::size_t align, std::size_t n) {
    void* p = __libc_memalign(align, n);
    if (p == nullptr) return ENOMEM;
    *out = track(p);
    return 0;
}
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path find_corpus() {
    for (fs::path dir = fs::current_path(); !dir.empty(); dir = dir.parent_path()) {
        if (fs::is_directory(dir / "shared" / "genicam-corpus")) return dir / "shared" / "genicam-corpus";
        if (dir == dir.parent_path()) break;
    }
    for (fs::path dir = fs::path(OCULANE_SOURCE_DIR); !dir.empty(); dir = dir.parent_path()) {
        if (fs::is_directory(dir / "shared" / "genicam-corpus")) return dir / "shared" / "genicam-corpus";
        if (dir == dir.parent_path()) break;
    }
    return {};
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string s(fs::file_size(p), '\0');
    in.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

// The same description's content repeated inside one root: same structure,
// `times` the size. Node names must be unique, so every copy after the first
// renames its nodes and the references to them (a suffix on each node's Name
// attribute and on every element text that names a node); formula variable
// names (the Name of pVariable, Constant and Expression) stay as they are.
std::string replicate(const std::string& text, int times) {
    auto open_end = text.find('>', text.find("<RegisterDescription"));
    auto close = text.rfind("</RegisterDescription>");
    if (open_end == std::string::npos || close == std::string::npos) return {};
    const std::string body = text.substr(open_end + 1, close - open_end - 1);

    // Where each node name is defined: (offset of the name, its length).
    std::vector<std::pair<std::size_t, std::size_t>> defs;
    std::unordered_set<std::string_view> names;
    for (std::size_t at = body.find(" Name=\""); at != std::string::npos; at = body.find(" Name=\"", at + 1)) {
        const std::size_t tag = body.rfind('<', at);
        const std::string_view element(body.data() + tag + 1, at - tag - 1);
        if (element == "pVariable" || element == "Constant" || element == "Expression") continue;
        const std::size_t begin = at + 7;
        const std::size_t end = body.find('"', begin);
        if (end == std::string::npos) break;
        defs.emplace_back(begin, end - begin);
        names.emplace(body.data() + begin, end - begin);
    }
    // Element texts that are exactly a node name: references.
    std::vector<std::pair<std::size_t, std::size_t>> refs;
    for (std::size_t gt = body.find('>'); gt != std::string::npos; gt = body.find('>', gt + 1)) {
        const std::size_t lt = body.find('<', gt + 1);
        if (lt == std::string::npos) break;
        if (names.contains(std::string_view(body.data() + gt + 1, lt - gt - 1))) refs.emplace_back(gt + 1, lt - gt - 1);
    }
    std::vector<std::pair<std::size_t, std::size_t>> spots = defs;
    spots.insert(spots.end(), refs.begin(), refs.end());
    std::sort(spots.begin(), spots.end());

    std::string out = text.substr(0, open_end + 1);
    out.reserve(text.size() * static_cast<std::size_t>(times) + spots.size() * 4 * static_cast<std::size_t>(times));
    out += body;
    for (int i = 1; i < times; ++i) {
        const std::string suffix = "__copy" + std::to_string(i);
        std::size_t from = 0;
        for (const auto& [pos, len] : spots) {
            out.append(body, from, pos + len - from);
            out += suffix;
            from = pos + len;
        }
        out.append(body, from, std::string::npos);
    }
    out += text.substr(close);
    return out;
}

struct Measure {
    double median_ms = 0;
    double min_ms = 0;
    long long peak_bytes = 0;  // above the heap in use before the run
};

Measure measure(int runs, const std::function<void()>& fn) {
    fn();  // warm-up
    std::vector<double> ms;
    long long peak = 0;
    for (int i = 0; i < runs; ++i) {
        long long base = g_heap.load();
        g_peak.store(base);
        auto t0 = Clock::now();
        fn();
        auto t1 = Clock::now();
        peak = std::max(peak, g_peak.load() - base);
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return Measure{ms[ms.size() / 2], ms.front(), peak};
}

// The floor: expat tokenising the same text with no callbacks at all.
void bare_expat(const std::string& text) {
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_Parse(p, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_ParserFree(p);
}

int run() {
    fs::path corpus = find_corpus();
    if (corpus.empty()) {
        fmt::print("skipped: shared/genicam-corpus not found\n");
        return 0;
    }
    fs::path largest;
    for (const auto& e : fs::directory_iterator(corpus)) {
        if (e.path().extension() == ".xml" && (largest.empty() || e.file_size() > fs::file_size(largest))) {
            largest = e.path();
        }
    }
    const std::string text = read_file(largest);
    const std::string big = replicate(text, 10);

    std::size_t nodes = 0, big_nodes = 0;
    bool ok = true;
    auto parse_one = [&](const std::string& t, std::size_t& count) {
        auto map = oculane::parse_description(t);
        if (!map) {
            if (ok) fmt::print("parse failed: {}\n", map.error().to_string());
            ok = false;
            return;
        }
        count = map->size();
    };

    Measure m1 = measure(21, [&] { parse_one(text, nodes); });
    Measure t1 = measure(21, [&] { (void)oculane::xml::Document::parse(text); });
    Measure e1 = measure(21, [&] { bare_expat(text); });
    Measure m10 = measure(5, [&] { parse_one(big, big_nodes); });
    Measure e10 = measure(5, [&] { bare_expat(big); });
    if (!ok) {
        fmt::print("parse failed\n");
        return 1;
    }

    const double mib = 1024.0 * 1024.0;
    fmt::print("description: {} ({:.2f} MiB, {} nodes)\n", largest.filename().string(), text.size() / mib, nodes);
    fmt::print("  parse into node map   median {:7.2f} ms  min {:7.2f} ms  ({:.0f} MiB/s)   target <= 30 ms\n",
               m1.median_ms, m1.min_ms, text.size() / mib / (m1.median_ms / 1000));
    fmt::print("    of which XML tree   median {:7.2f} ms\n", t1.median_ms);
    fmt::print("  bare expat pass       median {:7.2f} ms  -> parse / expat = {:.2f}\n", e1.median_ms,
               m1.median_ms / e1.median_ms);
    fmt::print("  peak heap while parsing {:.2f} MiB = {:.2f} x the text   target <= 10 x\n", m1.peak_bytes / mib,
               static_cast<double>(m1.peak_bytes) / static_cast<double>(text.size()));
    fmt::print("synthetic x10: {:.2f} MiB, {} nodes\n", big.size() / mib, big_nodes);
    fmt::print("  parse into node map   median {:7.2f} ms  min {:7.2f} ms\n", m10.median_ms, m10.min_ms);
    fmt::print("  bare expat pass       median {:7.2f} ms  -> parse / expat = {:.2f}\n", e10.median_ms,
               m10.median_ms / e10.median_ms);
    fmt::print("  peak heap while parsing {:.2f} MiB = {:.2f} x the text\n", m10.peak_bytes / mib,
               static_cast<double>(m10.peak_bytes) / static_cast<double>(big.size()));
    fmt::print("linearity: time x10 / time x1 = {:.2f} (10 is linear; expat alone {:.2f})\n",
               m10.median_ms / m1.median_ms, e10.median_ms / e1.median_ms);
    return 0;
}

}  // namespace

int main() { return run(); }
