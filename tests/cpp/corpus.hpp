#pragma once
// The makers' GenICam descriptions lie in shared/genicam-corpus beside the
// checkout (which may itself sit one or two folders deeper); tests read them
// there and skip when the folder is absent.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace oculane::test_corpus {

inline std::filesystem::path find_corpus() {
    namespace fs = std::filesystem;
    for (fs::path dir = fs::path(OCULANE_SOURCE_DIR); !dir.empty(); dir = dir.parent_path()) {
        fs::path candidate = dir / "shared" / "genicam-corpus";
        if (fs::is_directory(candidate)) return candidate;
        if (dir == dir.parent_path()) break;
    }
    return {};
}

// The whole file, bytes unchanged.
inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace oculane::test_corpus
