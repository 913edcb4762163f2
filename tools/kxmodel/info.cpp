// `kxmodel info`: the header, one table row per layer, the outputs.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "layer_cost.h"
#include "text_format.h"

namespace kx::tool {

namespace {

// Columns are padded to their widest cell; numbers are aligned right.
void print_table(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right) {
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    for (const auto& row : rows) {
        std::string line = "  ";
        for (size_t c = 0; c < row.size(); ++c) {
            const std::string pad(width[c] - row[c].size(), ' ');
            const bool last = c + 1 == row.size();
            line += right[c] ? pad + row[c] : row[c] + (last ? "" : pad);
            if (!last) line += "  ";
        }
        line.erase(line.find_last_not_of(' ') + 1);  // an empty last cell
        std::printf("%s\n", line.c_str());
    }
}

std::string tops_shape_text(const Net& net, size_t layer) {
    std::string text;
    for (int id : net.top_ids[layer]) {
        text += (text.empty() ? "" : ", ") + shape_text(*net.blobs[size_t(id)]);
    }
    return text.empty() ? "-" : text;
}

}  // namespace

int print_info(const std::string& path, bool two_inputs, const Net& net) {
    std::printf("file: %s\n", path.c_str());
    std::printf("variant: %s\n", two_inputs ? "two inputs (image, information)" : "single input");
    std::printf("input: %d x %d x %d (channels x height x width)\n", net.input_channels,
                net.input_height, net.input_width);
    if (two_inputs) std::printf("info size: %d\n", net.info_size);

    std::printf("\nlayers: %zu (top shapes at the input size above)\n", net.layers.size());
    std::vector<std::vector<std::string>> rows = {
        {"#", "type", "bottoms", "tops", "top shape", "weights", "mult-adds", "parameters"}};
    for (size_t i = 0; i < net.layers.size(); ++i) {
        const Layer& layer = *net.layers[i];
        const LayerCost cost = layer_cost(net, i);
        rows.push_back({std::to_string(i), layer.type(), ids_text(net.bottom_ids[i]),
                        ids_text(net.top_ids[i]), tops_shape_text(net, i),
                        std::to_string(cost.weights), std::to_string(cost.multiply_adds),
                        params_text(layer.params)});
    }
    print_table(rows, {true, false, false, false, false, true, true, false});

    std::printf("\noutputs: %zu\n", net.output_ids.size());
    for (size_t i = 0; i < net.output_ids.size(); ++i) {
        const int id = net.output_ids[i];
        std::printf("  output %zu: blob %d, %s\n", i, id, shape_text(*net.blobs[size_t(id)]).c_str());
    }

    const LayerCost total = network_cost(net);
    std::printf("\ntotal: %lld weights (%.2f MB as float), %lld multiply-adds per pass\n",
                static_cast<long long>(total.weights), double(total.weights) * 4.0 / 1e6,
                static_cast<long long>(total.multiply_adds));
    return 0;
}

}  // namespace kx::tool
