#pragma once
// Writer of "stdcnn" network files, for tests, the sample model and tools.
// It writes exactly what it is told, so tests can also build damaged files
// (a wrong magic, a layer count that disagrees with the records, ...).
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kx {

struct LayerRecord {
    std::string params;          // "type:conv,ksize:3,...," as stored
    std::vector<int> bottoms;    // blob ids
    std::vector<float> weights;  // all weight blobs, concatenated in order
    // Written as given; the reader expects weights after it only when > 0.
    // Tests set it to 0 with weights present to build a misaligned file.
    int weights_flag = 1;
};

struct ModelFile {
    bool two_inputs = false;
    int channels = 1;
    int height = 1;
    int width = 1;
    int info_size = 3;  // two-input files only
    std::vector<LayerRecord> layers;
    std::vector<int> outputs;

    // Overrides for crafting unusual files.
    std::string magic = "stdcnn";
    std::optional<int32_t> magic_length;  // unset: the magic's own length
    // Layer count N written in the header; -1: the number of records. Bottom
    // lists are written for the first N records (empty ones beyond them), and
    // every record is written, so a different N makes the counts disagree.
    int declared_layers = -1;
    bool terminator = true;
};

// Builds the params text from pairs, each written as "key:value,".
std::string layer_params(const std::vector<std::pair<std::string, std::string>>& pairs);

// Little-endian byte sink for the format's primitive fields.
class ByteWriter {
public:
    void i32(int32_t v);
    void f32(float v);
    void floats(const std::vector<float>& values);
    void bytes(const std::string& text);
    const std::string& data() const { return out_; }

private:
    std::string out_;
};

std::string serialize_model(const ModelFile& model);
bool write_model_file(const ModelFile& model, const std::string& path);

// A read-only stream over bytes held in memory; close it with fclose. The
// bytes must outlive the stream.
FILE* open_bytes(const std::string& bytes);

}  // namespace kx
