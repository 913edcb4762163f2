// `kxmodel run`: one forward pass on the fixed test input, with a checksum of
// every output.
#include <cmath>
#include <cstdio>

#include "commands.h"
#include "test_input.h"
#include "text_format.h"

namespace kx::tool {

int run_once(Net& net, bool two_inputs) {
    fill_test_input(net, two_inputs);
    const BlobList outputs = net.forward();
    std::printf("input: fixed pseudo-random pixel values 0..255%s\n",
                two_inputs ? ", information (height, width, 1.0)" : "");
    std::printf("outputs: %zu\n", outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Blob& out = *outputs[i];
        // Double sums, so the checksum reflects the values and not the
        // rounding of a long float accumulation.
        double sum = 0.0;
        double abs_sum = 0.0;
        for (int k = 0; k < out.count; ++k) {
            sum += double(out.data[k]);
            abs_sum += std::fabs(double(out.data[k]));
        }
        std::printf("  output %zu: blob %d, %s, sum %.10g, abs sum %.10g\n", i,
                    net.output_ids[i], shape_text(out).c_str(), sum, abs_sum);
    }
    return 0;
}

}  // namespace kx::tool
