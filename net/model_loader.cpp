// Reader of the "stdcnn" network format. All integers are 32-bit
// little-endian, weights are little-endian IEEE floats, texts carry their
// length in front. Every count read from the file is checked before it is
// trusted, so a damaged file fails the load instead of reading out of bounds
// or allocating from a garbage number: the header is read whole before any
// blob is made, every blob counts against the network's blob budget before
// it is allocated, and weights are read only once the file is known to hold
// them.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "net/blob_budget.h"
#include "net/console.h"
#include "net/net.h"
#include "net/params.h"

namespace kx {

namespace {

constexpr int kMaxTextLength = 1023;

int32_t decode_i32(const unsigned char* b) {
    return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
}

bool read_i32(FILE* file, int32_t& value) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, file) != 4) return false;
    value = decode_i32(b);
    return true;
}

bool read_text(FILE* file, int32_t length, std::string& text) {
    char buf[kMaxTextLength + 1];
    if (length < 1 || length > kMaxTextLength) return false;
    if (std::fread(buf, 1, size_t(length), file) != size_t(length)) return false;
    buf[length] = '\0';
    text.assign(buf);  // a text ends at its first zero byte
    return true;
}

// A record length, or the end of the list: a clean end of file (no byte
// left) ends the list like a terminator; a partial integer is a damaged file.
bool read_record_length(FILE* file, int32_t& length) {
    unsigned char b[4];
    const size_t got = std::fread(b, 1, 4, file);
    if (got == 0 && std::feof(file)) {
        length = 0;
        return true;
    }
    if (got != 4) return false;
    length = decode_i32(b);
    return true;
}

bool host_is_little_endian() {
    const uint32_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

bool read_floats(FILE* file, float* out, size_t n) {
    if (std::fread(out, sizeof(float), n, file) != n) return false;
    if (!host_is_little_endian()) {
        for (size_t i = 0; i < n; ++i) {
            unsigned char b[4];
            std::memcpy(b, &out[i], 4);
            std::swap(b[0], b[3]);
            std::swap(b[1], b[2]);
            std::memcpy(&out[i], b, 4);
        }
    }
    return true;
}

// Reads `count` ids one at a time so that a huge count in a short file fails
// on the missing bytes rather than on a giant allocation.
bool read_id_list(FILE* file, int32_t count, std::vector<int>& ids) {
    if (count < 0) return false;
    for (int32_t i = 0; i < count; ++i) {
        int32_t id;
        if (!read_i32(file, id)) return false;
        ids.push_back(id);
    }
    return true;
}

// Bytes between the read position and the end of a seekable file; -1 when
// the stream cannot tell.
int64_t bytes_left(FILE* file) {
    const long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(file);
    if (std::fseek(file, here, SEEK_SET) != 0 || end < here) return -1;
    return int64_t(end) - here;
}

std::string budget_line(int64_t budget) {
    return "model needs more than " + std::to_string(budget >> 20) +
           " MiB of blobs at its input size";
}

}  // namespace

bool Net::load_model(FILE* file) { return load(file, true); }
bool Net::load_model_single_input(FILE* file) { return load(file, false); }

bool Net::load(FILE* file, bool two_inputs) {
    // Only the two-input reader announces itself and its header failures.
    auto header_say = [two_inputs](const char* line) {
        if (two_inputs) say(line);
    };
    header_say("Enter into load_model function");
    if (file == nullptr) {
        header_say("file pointer is null");
        return false;
    }

    BlobBudget budget(blob_budget);
    try {
        int32_t magic_length;
        if (!read_i32(file, magic_length)) return false;
        if (magic_length == 0) {
            header_say("slen is 0");
            return false;
        }
        std::string magic;
        if (!read_text(file, magic_length, magic)) return false;
        if (magic != "stdcnn") {
            header_say("buf is not stdcnn");
            return false;
        }

        int32_t c, h, w;
        if (!read_i32(file, c) || !read_i32(file, h) || !read_i32(file, w)) return false;
        input_channels = c;
        input_height = h;
        input_width = w;
        int32_t info = 0;
        if (two_inputs) {
            if (!read_i32(file, info)) return false;
            info_size = info;
        }

        int32_t layer_count;
        if (!read_i32(file, layer_count) || layer_count < 0) return false;
        for (int32_t i = 0; i < layer_count; ++i) {
            int32_t k;
            if (!read_i32(file, k)) return false;
            bottom_ids.emplace_back();
            top_ids.emplace_back();
            if (!read_id_list(file, k, bottom_ids.back())) return false;
        }

        int32_t output_count;
        if (!read_i32(file, output_count)) return false;
        if (!read_id_list(file, output_count, output_ids)) return false;

        // The inputs are sized from the header only now that it has been
        // read whole.
        Blob* image = new Blob();
        blobs.push_back(image);
        if (!image->create(c, h, w)) return false;
        if (two_inputs) {
            Blob* info_blob = new Blob();
            blobs.push_back(info_blob);
            if (!info_blob->create(info, 1, 1)) return false;
        }

        int32_t record = 0;
        int32_t length;
        if (!read_record_length(file, length)) return false;
        while (length > 0) {
            if (record >= layer_count) return false;  // more records than announced
            std::string text;
            if (!read_text(file, length, text)) return false;
            const LayerParams params = parse_layer_params(text);
            if (params.empty()) {
                say("param (" + std::to_string(record) + ") is 0!");
                return false;
            }
            Layer* layer = make_layer(params);
            if (layer == nullptr) {
                say("layer (" + std::to_string(record) + ") is NULL!");
                return false;
            }

            BlobList bottoms;
            for (int id : bottom_ids[size_t(record)]) {
                if (uint32_t(id) >= blobs.size()) {
                    delete layer;
                    return false;
                }
                bottoms.push_back(blobs[size_t(id)]);
            }
            BlobList tops;
            bool set_up = false;
            try {
                set_up = layer->setup(bottoms, tops);
            } catch (...) {
                for (Blob* top : tops) delete top;
                delete layer;
                throw;
            }
            if (!set_up) {
                for (Blob* top : tops) delete top;
                delete layer;
                return false;
            }
            for (Blob* top : tops) {
                top_ids[size_t(record)].push_back(int(blobs.size()));
                blobs.push_back(top);
            }
            // The layer belongs to the net from here on, even if its weights
            // turn out to be cut short.
            layers.push_back(layer);

            int32_t has_weights;
            if (!read_i32(file, has_weights)) return false;
            if (has_weights > 0) {
                int64_t weight_bytes = 0;
                for (const Blob* weight : layer->weights) weight_bytes += int64_t(weight->count) * 4;
                const int64_t left = bytes_left(file);
                if (left >= 0 && weight_bytes > left) return false;  // cut short
                for (Blob* weight : layer->weights) {
                    if (!read_floats(file, weight->data, size_t(weight->count))) return false;
                }
            }
            ++record;
            if (!read_record_length(file, length)) return false;
        }

        if (record != layer_count) return false;
        for (int id : output_ids) {
            if (uint32_t(id) >= blobs.size()) return false;
        }
        fold_rectifiers();
        plan_branches();
        ready = true;
        return true;
    } catch (const BlobBudgetExceeded&) {
        say(budget_line(blob_budget));
        return false;
    } catch (const std::bad_alloc&) {
        // A shape too large to allocate is a malformed model, not a crash.
        return false;
    }
}

}  // namespace kx
