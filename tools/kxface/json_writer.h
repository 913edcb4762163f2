#pragma once
// A small writer of one-line JSON documents: enough for numbers, strings,
// arrays and objects, with commas placed automatically.
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace kxface {

class JsonLine {
public:
    JsonLine& beginObject();
    JsonLine& endObject();
    JsonLine& beginArray();
    JsonLine& endArray();
    JsonLine& key(const std::string& name);
    JsonLine& value(const std::string& text);
    JsonLine& value(const char* text) { return value(std::string(text)); }
    JsonLine& value(double number);
    JsonLine& value(long long number);
    JsonLine& value(int number) { return value(static_cast<long long>(number)); }
    JsonLine& value(bool flag);
    // [x, y, width, height]
    JsonLine& value(const cv::Rect& box);
    // [[x, y], ...] from an N x 2 float matrix
    JsonLine& points(const cv::Mat& points);

    const std::string& text() const { return text_; }

private:
    void separate();
    std::string text_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool after_key_ = false;
};

// The text quoted and escaped as a JSON string.
std::string quoted(const std::string& text);

}  // namespace kxface
