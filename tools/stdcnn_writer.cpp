#include "stdcnn_writer.h"

#include <cstring>
#include <fstream>

namespace kx {

std::string layer_params(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text;
    for (const auto& [key, value] : pairs) text += key + ":" + value + ",";
    return text;
}

void ByteWriter::i32(int32_t v) {
    const uint32_t u = uint32_t(v);
    for (int shift = 0; shift < 32; shift += 8) out_.push_back(char((u >> shift) & 0xff));
}

void ByteWriter::f32(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    i32(int32_t(u));
}

void ByteWriter::floats(const std::vector<float>& values) {
    for (float v : values) f32(v);
}

void ByteWriter::bytes(const std::string& text) { out_ += text; }

std::string serialize_model(const ModelFile& model) {
    ByteWriter w;
    w.i32(model.magic_length.value_or(int32_t(model.magic.size())));
    w.bytes(model.magic);
    w.i32(model.channels);
    w.i32(model.height);
    w.i32(model.width);
    if (model.two_inputs) w.i32(model.info_size);
    const size_t n = model.declared_layers >= 0 ? size_t(model.declared_layers) : model.layers.size();
    w.i32(int32_t(n));
    for (size_t i = 0; i < n; ++i) {
        const std::vector<int> none;
        const std::vector<int>& bottoms = i < model.layers.size() ? model.layers[i].bottoms : none;
        w.i32(int32_t(bottoms.size()));
        for (int id : bottoms) w.i32(id);
    }
    w.i32(int32_t(model.outputs.size()));
    for (int id : model.outputs) w.i32(id);
    for (const LayerRecord& layer : model.layers) {
        w.i32(int32_t(layer.params.size()));
        w.bytes(layer.params);
        w.i32(layer.weights_flag);
        w.floats(layer.weights);
    }
    if (model.terminator) w.i32(0);
    return w.data();
}

bool write_model_file(const ModelFile& model, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    const std::string bytes = serialize_model(model);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out);
}

FILE* open_bytes(const std::string& bytes) {
    // fmemopen refuses a zero-sized buffer; an empty temporary file reads the same.
    if (bytes.empty()) return std::tmpfile();
    return fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
}

}  // namespace kx
