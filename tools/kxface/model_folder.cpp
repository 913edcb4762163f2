#include "model_folder.h"

#include <filesystem>
#include <system_error>

#include "commands.h"
#include "kx/face_analyzer.h"

namespace kxface {

namespace fs = std::filesystem;

std::string defaultModelFolder() {
    // A kxface running from its build folder uses the source tree's models;
    // an installed one the models installed beside it (bin/../share/...).
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return KXFACE_SOURCE_MODELS;
    const fs::path folder = self.parent_path();
    if (fs::equivalent(folder, fs::path(KXFACE_BUILD_DIR), error) && !error) return KXFACE_SOURCE_MODELS;
    return (folder / KXFACE_INSTALLED_MODELS_RELATIVE).lexically_normal().string();
}

std::vector<std::string> missingModelFiles(const std::string& folder) {
    static const char* const kFiles[] = {"frcnn_full_cross_500000.dat", "model95_tern.bin",
                                         "cdcn_iter_500000.dat", "cdcn95_verify_iter_50000.dat"};
    std::vector<std::string> missing;
    for (const char* name : kFiles) {
        std::error_code error;
        if (!fs::is_regular_file(fs::path(folder) / name, error)) missing.push_back(name);
    }
    return missing;
}

bool reportUnusableModels(const kx::FaceAnalyzer& analyzer, const std::string& folder) {
    const std::vector<std::string> unusable = analyzer.unusableModels();
    if (unusable.empty()) return false;
    std::string list;
    for (const std::string& name : unusable) list += (list.empty() ? "" : ", ") + (fs::path(folder) / name).string();
    complain("cannot use model " + list + " (damaged, cut short or not that model)");
    return true;
}

}  // namespace kxface
