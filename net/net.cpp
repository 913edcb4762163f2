#include "net/net.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "net/console.h"
#include "net/layers/conv_layer.h"
#include "net/thread_pool.h"

namespace kx {

Net::~Net() {
    for (Layer* layer : layers) delete layer;
    for (Blob* blob : blobs) delete blob;
}

void Net::fold_rectifiers() {
    folded_.assign(layers.size(), 0);
    for (size_t k = 0; k + 1 < layers.size(); ++k) {
        auto* conv = dynamic_cast<ConvLayer*>(layers[k]);
        if (conv == nullptr || layers[k + 1]->type() != "relu" || top_ids[k].size() != 1 ||
            top_ids[k + 1].size() != 1 || bottom_ids[k + 1] != top_ids[k]) {
            continue;
        }
        // The convolution's own top is left unwritten: nothing else may read it.
        const int top = top_ids[k][0];
        bool read_elsewhere = std::count(output_ids.begin(), output_ids.end(), top) > 0;
        for (size_t j = 0; j < layers.size() && !read_elsewhere; ++j) {
            if (j == k + 1) continue;
            read_elsewhere = std::count(bottom_ids[j].begin(), bottom_ids[j].end(), top) > 0;
        }
        if (read_elsewhere) continue;
        conv->rectify_output = true;
        folded_[k + 1] = 1;
    }
}

void Net::plan_branches() {
    // What each layer writes: a convolution that does the rectifier's pass
    // writes the rectifier's tops as well.
    std::vector<std::vector<int>> writes = top_ids;
    for (size_t k = 0; k + 1 < layers.size(); ++k) {
        if (folded_into_previous(k + 1)) {
            writes[k].insert(writes[k].end(), top_ids[k + 1].begin(), top_ids[k + 1].end());
        }
    }
    side_by_side.clear();
    for (const BranchRun& run : find_branch_runs(bottom_ids, writes)) {
        bool all_alike = true;
        const size_t length = run.branch_end(0) - run.first;
        for (size_t i = 1; i < run.branch_starts.size() && all_alike; ++i) {
            all_alike = run.branch_end(i) - run.branch_starts[i] == length &&
                        alike(run.first, run.branch_starts[i], length);
        }
        if (all_alike) side_by_side.push_back(run);
    }
}

bool Net::alike(size_t a, size_t b, size_t count) const {
    for (size_t i = 0; i < count; ++i) {
        const size_t ka = a + i, kb = b + i;
        if (layers[ka]->type() != layers[kb]->type() || top_ids[ka].size() != top_ids[kb].size()) return false;
        for (size_t t = 0; t < top_ids[ka].size(); ++t) {
            const Blob& y = *blobs[size_t(top_ids[kb][t])];
            if (!has_shape(*blobs[size_t(top_ids[ka][t])], y.channels, y.height, y.width, y.num)) return false;
        }
    }
    return true;
}

void Net::run_layer(size_t k) { run_layer_on(k, threads); }

void Net::run_layer_on(size_t k, ThreadPool* pool) {
    if (k >= layers.size()) return;
    if (folded_into_previous(k)) return;
    // A layer that does the next one's pass writes that one's tops.
    const std::vector<int>& top_list = folded_into_previous(k + 1) ? top_ids[k + 1] : top_ids[k];
    BlobList bottoms;
    BlobList tops;
    bottoms.reserve(bottom_ids[k].size());
    tops.reserve(top_list.size());
    for (int id : bottom_ids[k]) bottoms.push_back(blobs[size_t(id)]);
    for (int id : top_list) tops.push_back(blobs[size_t(id)]);
    layers[k]->threads = pool;
    layers[k]->forward(bottoms, tops);
}

void Net::run_side_by_side(const BranchRun& run) {
    // As many branches as there are threads at a time, each whole on one
    // thread; the few left over run one after another with their layers'
    // work shared out, so that no thread waits for a lone branch.
    const int branches = int(run.branch_starts.size());
    const int slots = slot_count(threads);
    const int together = branches >= slots ? branches - branches % slots : branches;
    parallel_for(threads, together, [&](int b, int) {
        for (size_t k = run.branch_starts[size_t(b)]; k < run.branch_end(size_t(b)); ++k) run_layer_on(k, nullptr);
    });
    if (together < branches) {
        for (size_t k = run.branch_starts[size_t(together)]; k < run.end; ++k) run_layer_on(k, threads);
    }
}

BlobList Net::collect_outputs() const {
    BlobList outputs;
    outputs.reserve(output_ids.size());
    for (int id : output_ids) outputs.push_back(blobs[size_t(id)]);
    return outputs;
}

BlobList Net::forward() {
    if (!ready) {
        say("cnn not ready");
        return {};
    }
    size_t k = 0;
    if (slot_count(threads) > 1) {
        for (const BranchRun& run : side_by_side) {
            for (; k < run.first; ++k) run_layer(k);
            run_side_by_side(run);
            k = run.end;
        }
    }
    for (; k < layers.size(); ++k) run_layer(k);
    return collect_outputs();
}

BlobList Net::forward_image(const unsigned char* pixels, int width, int height, int step) {
    if (!ready) {
        say("cnn not ready");
        return {};
    }
    const int channels = int64_t(step) >= 3 * int64_t(width) ? 3 : 1;
    if (channels != input_channels || width != input_width || height != input_height) {
        say("dimension not match: channels: " + std::to_string(input_channels));
        return {};
    }
    if (pixels == nullptr) return {};
    // A detection run may have refitted blob 0 to another image size.
    Blob* input = blobs[0];
    if (input->channels != input_channels || input->height != height || input->width != width) {
        input->reshape(input_channels, input_height, input_width);
    }

    float* out = input->data;
    for (int c = 0; c < channels; ++c) {
        for (int y = 0; y < height; ++y) {
            const unsigned char* row = pixels + size_t(y) * size_t(step);
            for (int x = 0; x < width; ++x) *out++ = float(row[x * channels + c]);
        }
    }
    return forward();
}

}  // namespace kx
