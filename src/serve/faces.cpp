#include "serve/faces.h"

#include "serve/http/http_face.h"

namespace mira::serve {

std::vector<FaceSpec> AllFaces() { return {http::HttpFaceSpec()}; }

}  // namespace mira::serve
