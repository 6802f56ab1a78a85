// The HTTP face: its part of the configuration, [http] with `listen` (HOST:PORT,
// by default 127.0.0.1:8080) and an optional `write_token`, which PUT then
// needs as "Authorization: Bearer TOKEN".
#pragma once

#include "serve/face.h"

namespace mira::serve::http {

FaceKind HttpFaceKind();

}  // namespace mira::serve::http
