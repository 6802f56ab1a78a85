#include "serve/faces.h"

#include "serve/http/http_face.h"
#include "serve/modbus/modbus_face.h"
#include "serve/mqtt/mqtt_face.h"

namespace mira::serve {

std::vector<FaceSpec> AllFaces() { return {http::HttpFaceSpec(), modbus::ModbusFaceSpec(), mqtt::MqttFaceSpec()}; }

}  // namespace mira::serve
