#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace kxface {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void JsonLine::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) text_ += ',';
        first_.back() = false;
    }
}

JsonLine& JsonLine::beginObject() {
    separate();
    text_ += '{';
    first_.push_back(true);
    return *this;
}

JsonLine& JsonLine::endObject() {
    text_ += '}';
    first_.pop_back();
    return *this;
}

JsonLine& JsonLine::beginArray() {
    separate();
    text_ += '[';
    first_.push_back(true);
    return *this;
}

JsonLine& JsonLine::endArray() {
    text_ += ']';
    first_.pop_back();
    return *this;
}

JsonLine& JsonLine::key(const std::string& name) {
    separate();
    text_ += quoted(name) + ':';
    after_key_ = true;
    return *this;
}

JsonLine& JsonLine::value(const std::string& text) {
    separate();
    text_ += quoted(text);
    return *this;
}

JsonLine& JsonLine::value(double number) {
    separate();
    // JSON has no infinities or NaN.
    if (!std::isfinite(number)) {
        text_ += "null";
        return *this;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", number);
    text_ += buf;
    return *this;
}

JsonLine& JsonLine::value(long long number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonLine& JsonLine::value(bool flag) {
    separate();
    text_ += flag ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::value(const cv::Rect& box) {
    beginArray();
    value(box.x).value(box.y).value(box.width).value(box.height);
    return endArray();
}

JsonLine& JsonLine::points(const cv::Mat& points) {
    beginArray();
    if (points.type() == CV_32FC1 && points.cols == 2) {
        for (int r = 0; r < points.rows; ++r) {
            beginArray();
            value(static_cast<double>(points.at<float>(r, 0))).value(static_cast<double>(points.at<float>(r, 1)));
            endArray();
        }
    }
    return endArray();
}

}  // namespace kxface
