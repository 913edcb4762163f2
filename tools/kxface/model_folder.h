#pragma once
// Where kxface finds its models, and whether a folder holds a complete set.
#include <string>
#include <vector>

namespace kx {
class FaceAnalyzer;
}

namespace kxface {

// The models installed with the library (found relative to the kxface
// executable); for a kxface that runs from its build tree, the models/
// folder of the source tree.
std::string defaultModelFolder();

// The fixed model file names that are missing from folder (empty: complete).
std::vector<std::string> missingModelFiles(const std::string& folder);

// When a model of folder is present but could not be loaded (damaged, cut
// short, or another model's file), says so in one "kxface:" line naming the
// files and returns true.
bool reportUnusableModels(const kx::FaceAnalyzer& analyzer, const std::string& folder);

}  // namespace kxface
