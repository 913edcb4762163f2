#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace kxface {

namespace {

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), or 0 when
// the bytes there are not one: a stray continuation byte, a cut sequence,
// an overlong form, a surrogate or a code point above U+10FFFF.
size_t utf8_sequence(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return n;
}

}  // namespace

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8_sequence(text, i);
        if (n > 1) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        ++i;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // Control characters, and bytes that are not UTF-8 (file
                // names may hold any byte): the latter are written as the
                // character of the same number (0xFF as U+00FF), so that
                // every line stays valid JSON.
                if (c < 0x20 || n == 0) {
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
