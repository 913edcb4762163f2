#include "model_location.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "api/tracker.h"

namespace kx::python {

namespace fs = std::filesystem;

std::string defaultModelFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&defaultModelFolder), &info) == 0 || info.dli_fname == nullptr) {
        return KX_PYTHON_SOURCE_MODELS;
    }
    std::error_code error;
    const fs::path folder = fs::absolute(info.dli_fname, error).parent_path();
    if (fs::equivalent(folder, fs::path(KX_PYTHON_BUILD_DIR), error) && !error) return KX_PYTHON_SOURCE_MODELS;
    return (folder / KX_PYTHON_INSTALLED_MODELS_RELATIVE).lexically_normal().string();
}

std::vector<std::string> missingModelFiles(const std::string& folder) {
    static const char* const kFiles[] = {kDetectorModelFile, kLandmarkModelFile, kFivePointModelFile,
                                         kNinetyFivePointModelFile};
    std::vector<std::string> missing;
    for (const char* name : kFiles) {
        std::error_code error;
        if (!fs::is_regular_file(fs::path(folder) / name, error)) missing.push_back(name);
    }
    return missing;
}

}  // namespace kx::python
