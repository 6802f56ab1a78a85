#include "serve/faces.h"

#include "serve/http/http_face.h"
#include "serve/modbus/modbus_face.h"
#include "serve/mqtt/mqtt_face.h"

namespace mira::serve {

std::vector<FaceKind> AllFaces() { return {http::HttpFaceKind(), modbus::ModbusFaceKind(), mqtt::MqttFaceKind()}; }

}  // namespace mira::serve
