// The two-input network loader on any bytes, then the detection run on a few
// image sizes (the declared input size and smaller ones, so that no pass
// needs more than the blob budget).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "detect/detection_layers.h"
#include "detect/detection_row.h"
#include "fuzz_input.h"
#include "net/net.h"

// The detector's layer types join the registry once, as the detector does
// before it loads its network.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kx::register_detection_layers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kx::Net net;
    if (!kx::fuzz::load_net(net, data, size, true) || net.input_channels <= 0) return 0;

    const int h = std::min(net.input_height, 48), w = std::min(net.input_width, 48);
    const int sizes[][2] = {{h, w}, {std::max(1, h / 2), std::max(1, w - 3)}, {1, std::max(1, w / 3)}};
    for (const auto& s : sizes) {
        const size_t plane = size_t(s[0]) * size_t(s[1]);
        std::vector<float> planes(plane * size_t(net.input_channels));
        for (size_t i = 0; i < planes.size(); ++i) planes[i] = float(int(i * 53 % 255) - 127);
        net.detect(planes, {float(s[0]), float(s[1]), 1.0f}, 0.5f);
    }
    return 0;
}
