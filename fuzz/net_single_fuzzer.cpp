// The one-input network loader on any bytes, then a forward pass of whatever
// loaded (on the input values the loader left, and on a filled input).
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "detect/detection_layers.h"
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
    if (!kx::fuzz::load_net(net, data, size, false)) return 0;

    kx::Blob& input = *net.blobs[0];
    for (int i = 0; i < input.count; ++i) input.data[i] = float((i * 37) % 255) - 127.0f;
    net.forward();
    // A second pass: layers that keep state between passes must stay in
    // bounds too.
    net.forward();
    return 0;
}
