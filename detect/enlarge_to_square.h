#pragma once
#include <vector>

#include "detect/face_record.h"

namespace kx {

// Makes every box a square 1.2 times its longer side around the same centre
// (centre and sizes truncated to whole pixels). Landmarks, points and scores
// are left as they are.
void enlargeToSquare(std::vector<FaceRecord>& faces);

}  // namespace kx
