// run_stdcnn: runs a single-input "stdcnn" network with the library's runtime
// on raw float inputs and writes the raw float outputs.
//
//   run_stdcnn MODEL INPUT.f32 OUTPUT.f32
//
// INPUT.f32 holds one or more items, each channels x height x width float32
// values (little-endian) in the model's input shape. For every item blob 0 is
// filled and the network runs once; the values of every output blob are
// appended to OUTPUT.f32, item after item, outputs in the model's order.
// Prints the output shapes and the item count on standard output.
#include <cstdio>
#include <cstring>
#include <vector>

#include "net/model_file.h"
#include "net/net.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: run_stdcnn MODEL INPUT.f32 OUTPUT.f32\n");
        return 2;
    }
    kx::Net net;
    if (!kx::loadNetFile(net, argv[1], false)) {
        std::fprintf(stderr, "run_stdcnn: %s does not load\n", argv[1]);
        return 1;
    }

    FILE* in = std::fopen(argv[2], "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "run_stdcnn: cannot open %s\n", argv[2]);
        return 1;
    }
    std::vector<float> input;
    float chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, sizeof(float), 4096, in)) > 0) input.insert(input.end(), chunk, chunk + got);
    std::fclose(in);

    kx::Blob* blob0 = net.blobs[0];
    const size_t item = size_t(blob0->count);
    if (item == 0 || input.size() % item != 0) {
        std::fprintf(stderr, "run_stdcnn: %zu input values are not whole items of %zu\n", input.size(), item);
        return 1;
    }
    FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "run_stdcnn: cannot write %s\n", argv[3]);
        return 1;
    }
    const size_t items = input.size() / item;
    for (size_t n = 0; n < items; ++n) {
        std::memcpy(blob0->data, input.data() + n * item, item * sizeof(float));
        const kx::BlobList outputs = net.forward();
        if (outputs.empty()) {
            std::fprintf(stderr, "run_stdcnn: the network gave no outputs\n");
            std::fclose(out);
            return 1;
        }
        for (size_t o = 0; o < outputs.size(); ++o) {
            const kx::Blob* b = outputs[o];
            std::fwrite(b->data, sizeof(float), size_t(b->count), out);
            if (n == 0)
                std::printf("output %zu: %d x %d x %d\n", o, b->channels, b->height, b->width);
        }
    }
    std::fclose(out);
    std::printf("items: %zu\n", items);
    return 0;
}
