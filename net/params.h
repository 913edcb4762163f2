#pragma once
#include <map>
#include <string>

namespace kx {

// One layer's configuration, exactly as the model file states it: text keys
// mapped to text values. Numbers are converted on demand with the C
// library's lenient atoi/atof.
using LayerParams = std::map<std::string, std::string>;

// Parses "key:value,key:value," into a map. Stops quietly at the first
// malformed pair; the first value of a repeated key wins; a result without a
// "type" key is emptied.
LayerParams parse_layer_params(const std::string& text);

bool has_param(const LayerParams& params, const std::string& key);
// Missing keys read as the empty text, which converts to 0.
int param_int(const LayerParams& params, const std::string& key);
float param_float(const LayerParams& params, const std::string& key);
int param_int_or(const LayerParams& params, const std::string& key, int fallback);
float param_float_or(const LayerParams& params, const std::string& key, float fallback);

}  // namespace kx
