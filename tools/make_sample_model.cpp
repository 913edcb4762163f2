// kx_make_sample_model OUT: writes the sample network to OUT.
#include <cstdio>

#include "sample_network.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kx_make_sample_model OUT\n");
        return 2;
    }
    if (!kx::write_model_file(kx::sample_network(), argv[1])) {
        std::fprintf(stderr, "kx_make_sample_model: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
