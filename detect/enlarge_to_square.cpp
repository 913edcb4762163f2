#include "detect/enlarge_to_square.h"

#include <algorithm>

#include "detect/box_ops.h"

namespace kx {

void enlargeToSquare(std::vector<FaceRecord>& faces) {
    for (FaceRecord& face : faces) {
        cv::Rect& box = face.box;
        // In 64 bits so that extreme boxes cannot overflow the centre.
        const long long cx = (long long)box.x + box.width / 2;
        const long long cy = (long long)box.y + box.height / 2;
        const float side = float(double(float(std::max(box.width, box.height))) * 1.2);
        const float half = side * 0.5f;
        box.x = truncToInt(float(cx) - half);
        box.y = truncToInt(float(cy) - half);
        box.width = box.height = truncToInt(side);
    }
}

}  // namespace kx
