#pragma once
// Where the Python module finds its models when the caller names none.
#include <string>
#include <vector>

namespace kx::python {

// The models installed with the library, found relative to the module's own
// file; for the module in its build folder, the source tree's models/.
std::string defaultModelFolder();

// The model file names missing from folder (empty: the set is complete).
std::vector<std::string> missingModelFiles(const std::string& folder);

}  // namespace kx::python
