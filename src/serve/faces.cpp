#include "serve/faces.h"

#include "serve/http/http_face.h"
#include "serve/modbus/modbus_face.h"

namespace mira::serve {

std::vector<FaceSpec> AllFaces() { return {http::HttpFaceSpec(), modbus::ModbusFaceSpec()}; }

}  // namespace mira::serve
