// The faces of `mira serve`, in the order their samples appear in the
// example: the one place that names them.
#pragma once

#include <vector>

#include "serve/face.h"

namespace mira::serve {

std::vector<FaceKind> AllFaces();

}  // namespace mira::serve
