#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

#include "net/blob.h"
#include "net/blob_budget.h"
#include "net/branch_plan.h"
#include "net/layer.h"

namespace kx {

// Rows of the detection run, which belongs to the face detector (detect/).
struct DetectionRow;
class ThreadPool;

// One loaded network: layers in execution order, every blob by id, the
// wiring between them and the ids handed back as outputs.
//
// Blob ids: 0 is the image input, 1 the information input of a two-input
// model, then the tops of each layer in file order. A Net takes one model in
// its lifetime; a failed load leaves it not ready.
class Net {
public:
    Net() = default;
    ~Net();
    Net(const Net&) = delete;
    Net& operator=(const Net&) = delete;

    // Readers of the "stdcnn" format; the caller opens and closes the file.
    bool load_model(FILE* file);               // image + information inputs
    bool load_model_single_input(FILE* file);  // image input only

    // Runs every layer once on the inputs the caller has written.
    BlobList forward();
    // Runs layer `index` (in execution order) alone on the blobs as they
    // stand: forward() is run_layer(0), run_layer(1), ... (for timing layers
    // one by one). Does nothing for an index out of range.
    void run_layer(size_t index);
    // True when layer `index` (a rectifier) has its pass done by the
    // convolution before it, and run_layer(index) does nothing.
    bool folded_into_previous(size_t index) const { return index < folded_.size() && folded_[index] != 0; }
    // Fills blob 0 planar from interleaved 8-bit pixels (1 or 3 channels,
    // decided by step), then runs forward. The image must match the model's
    // input shape exactly.
    BlobList forward_image(const unsigned char* pixels, int width, int height, int step);

    // Detection run of a two-input detector model: fits blob 0 to the image
    // planes in `data` (channel after channel, each row-major), writes `info`
    // (image height, width, scale) into blob 1, then runs forward_detect.
    std::vector<DetectionRow> detect(const std::vector<float>& data, const std::vector<float>& info,
                                     float threshold);
    // The first half of detect: checks `info`, writes it into blob 1 and
    // fits blob 0 to `channels` planes of info's height and width. Returns
    // blob 0's storage for the caller to fill before forward_detect, or null
    // (with one line on the console) when either does not fit the model.
    float* detection_input(const std::vector<float>& info, uint64_t channels);
    // Runs every layer and decodes the candidates of the "frcnnproposal"
    // layer with the first two outputs (box deltas, class probabilities)
    // into face boxes scoring at least `threshold`, best first.
    std::vector<DetectionRow> forward_detect(float threshold);

    bool ready = false;
    int input_channels = 0;
    int input_height = 0;
    int input_width = 0;
    std::vector<Layer*> layers;
    BlobList blobs;
    std::vector<std::vector<int>> bottom_ids;
    std::vector<std::vector<int>> top_ids;
    std::vector<int> output_ids;
    int info_size = 0;
    // Most bytes the blobs may take at the declared input size; a model that
    // needs more is refused at load with one line.
    int64_t blob_budget = kDefaultBlobBudgetBytes;
    // Threads the layers share their work out on; null (the default) runs
    // everything on the calling thread. Not owned. The results do not depend
    // on it. One Net still runs one pass at a time.
    ThreadPool* threads = nullptr;
    // Runs of alike branches (the same layer types and top shapes, branch
    // for branch) that a pass on two or more threads runs side by side, each
    // branch on one thread: small layers share their work out poorly, whole
    // towers well. Found once the model is loaded.
    std::vector<BranchRun> side_by_side;

private:
    bool load(FILE* file, bool two_inputs);
    BlobList collect_outputs() const;
    // A convolution whose top feeds only the rectifier right after it writes
    // the rectified values straight into the rectifier's top, and that
    // rectifier's own pass is skipped: the same bits, one pass over the
    // maps fewer. Called once the model is loaded.
    void fold_rectifiers();
    // Fills side_by_side. Called once the rectifiers are folded.
    void plan_branches();
    bool alike(size_t first_a, size_t first_b, size_t count) const;
    // run_layer with the layer's work shared out on `pool` (null: none).
    void run_layer_on(size_t index, ThreadPool* pool);
    void run_side_by_side(const BranchRun& run);
    // Per layer: true when its pass is done by the layer before it.
    std::vector<char> folded_;
};

}  // namespace kx
