// Where an HTTP/1.1 response ends (RFC 9112 section 6.3), found as its bytes arrive: interim 1xx
// responses skipped, a chunked body decoded, a Content-Length body taken to its length, anything
// else to the close. For the transport's own files, its tests and fuzz targets.
#pragma once

#include <cstddef>

#include "common/own.h"

namespace zv::transport {

// The head of a response (status line and header fields) may take at most this many bytes, and
// so may the trailer fields after a chunked body.
inline constexpr size_t kMaxHeadBytes = 16384;
// Interim (1xx) responses skipped before the final one; one more makes the response unusable.
inline constexpr int kMaxInterim = 5;

// What http_status returns for a text that is no HTTP/1.x status line.
inline constexpr int kStatusNotHttp = -1; // does not begin with "HTTP/1."
inline constexpr int kStatusNoSpace = -2; // no space in the text
inline constexpr int kStatusBadCode = -3; // no number from 100 to 599 after the first space

// The status code of the NUL-terminated response text, by the rules of parse_http_response, or
// one of the negative values above. Logs nothing.
int http_status(const char *response);

// 1xx responses that precede the final response (101 is no interim response: nothing asked to
// switch protocols).
inline bool is_interim(int status) { return status >= 100 && status <= 199 && status != 101; }

enum class Framed {
  more,     // the response is not complete yet: read on
  done,     // complete: stop reading
  unusable, // no usable response can come of these bytes (ResponseFrame::why says why)
};

// The framing of one response, across calls of frame_response. Starts zeroed.
struct ResponseFrame {
  int stage = 0;          // where in the response the bytes at `pos` are
  size_t pos = 0;         // the first byte of the buffer not yet taken
  size_t scanned = 0;     // how far the end of the current head or line was looked for
  size_t out = 0;         // the end of the (decoded) body so far, while the body is chunked
  size_t left = 0;        // bytes left of a Content-Length body or of the current chunk
  size_t trailer = 0;     // bytes of trailer fields so far
  int interim = 0;        // interim responses skipped
  bool too_large = false; // unusable because the body would pass `limit`
  const char *why = "";   // unusable: the reason, for the log
};

// Takes the bytes that arrived in *buf since the last call (closed: the peer has closed the
// connection and nothing more will come). `limit` bounds the response (head and body).
// When it returns Framed::done, *buf holds the final response alone, its head and its whole
// body, with chunk framing removed and any bytes after the end dropped; interim responses are
// removed from the front as they are found. A connection that closes within the head hands over
// what came, for the status line to decide.
Framed frame_response(ResponseFrame *f, Secret *buf, size_t limit, bool closed);

} // namespace zv::transport
