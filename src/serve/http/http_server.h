// The HTTP face's server (cpp-httplib), made by the face's factory:
//
//   GET  /                    the status page, one HTML file built in
//   GET  /api/tags            every tag; /api/tags/NAME one
//   PUT  /api/tags/NAME       {"value": V}: write a writable tag
//   GET  /api/read?address=A  one-shot reads through the owned line
//   POST /api/write           a one-shot write by header and items, of writable tags only
//   GET  /api/events?after=ID the controller's unsolicited writes
//   GET  /api/status          the line, its counters, the scans
//   GET  /metrics             Prometheus text
//
// Every 4xx and 5xx answer carries {"error": {"code", "message"}}. Bodies
// over 64 KiB are refused (413) before they are read. With a write token,
// PUT and POST need "Authorization: Bearer TOKEN" (403 without it); the
// token is compared in constant time and never logged.
#pragma once

#include <memory>

#include "serve/face.h"

namespace mira::serve::http {

std::unique_ptr<Face> MakeHttpFace(const FaceContext& context);

// The status code a write that ended so is answered with.
int StatusOf(WriteOutcome outcome);

// Whether an Authorization header carries the token ("Bearer TOKEN", the
// scheme in any case), compared in time that does not depend on where they
// differ.
bool Authorized(const std::string& header, const std::string& token);

extern const char* const kStatusPage;

}  // namespace mira::serve::http
