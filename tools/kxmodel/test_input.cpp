#include "test_input.h"

#include <cstdint>

namespace kx::tool {

void fill_test_input(Net& net, bool two_inputs) {
    Blob& image = *net.blobs[0];
    uint32_t state = 0x2545F491u;
    for (int i = 0; i < image.count; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image.data[i] = float(state >> 24);
    }
    if (!two_inputs || net.blobs.size() < 2) return;
    Blob& info = *net.blobs[1];
    const float triple[3] = {float(net.input_height), float(net.input_width), 1.0f};
    for (int i = 0; i < info.count; ++i) info.data[i] = i < 3 ? triple[i] : 0.0f;
}

}  // namespace kx::tool
