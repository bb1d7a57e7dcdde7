// The end of an HTTP/1.1 response, found as its bytes arrive (RFC 9112 sections 6.3 and 7.1),
// so that a reply framed by Content-Length or by chunks is complete without waiting for the
// server to close the connection. Anything that could be read two ways (both framings at once,
// a coding other than chunked, Content-Length values that disagree, a damaged chunk) makes the
// response unusable rather than guessed at.
#include "transport/framing_int.h"

#include <cstring>
#include <strings.h>

namespace zv::transport {
namespace {

enum Stage { kHead, kLength, kToClose, kChunkSize, kChunkData, kChunkEnd, kTrailer, kDone };

bool is_ows(char c) { return c == ' ' || c == '\t'; }

bool is_named(const char *name, size_t n, const char *want) {
  return n == std::strlen(want) && strncasecmp(name, want, n) == 0;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What the head says of the body's framing.
struct BodyFraming {
  bool coded = false; // Transfer-Encoding is present
  int chunked = 0;    // how often it lists chunked
  int other = 0;      // how many other (or empty) codings it lists
  bool sized = false; // Content-Length is present
  size_t length = 0;  // its value
  bool too_large = false;
  const char *why = nullptr; // the head cannot be read one way only
};

// The elements of a comma-separated field value, without their surrounding white space.
template <class Fn> void each_element(const char *v, const char *end, Fn &&fn) {
  for (;;) {
    const char *comma = static_cast<const char *>(std::memchr(v, ',', end - v));
    const char *e = comma != nullptr ? comma : end;
    const char *b = v;
    while (b < e && is_ows(*b)) b++;
    const char *t = e;
    while (t > b && is_ows(t[-1])) t--;
    fn(b, static_cast<size_t>(t - b));
    if (comma == nullptr) return;
    v = comma + 1;
  }
}

void add_length(BodyFraming *bf, const char *v, size_t n, size_t limit) {
  size_t value = 0;
  bool big = false;
  for (size_t i = 0; i < n; i++) {
    if (v[i] < '0' || v[i] > '9') {
      bf->why = "a Content-Length that is no number";
      return;
    }
    if (value > limit)
      big = true; // stays above the limit whatever follows
    else
      value = value * 10 + static_cast<size_t>(v[i] - '0');
  }
  if (n == 0) {
    bf->why = "a Content-Length that is no number";
    return;
  }
  const bool over = big || value > limit;
  // Repeats of one value say the same thing; different values cannot both be right.
  if (bf->sized && (over != bf->too_large || (!over && value != bf->length))) {
    bf->why = "Content-Length values that disagree";
    return;
  }
  bf->sized = true;
  bf->too_large = over;
  bf->length = value;
}

// Reads Transfer-Encoding and Content-Length from the head's field lines (the status line and
// the empty line excluded). A bare LF ends a line as CRLF does, so that no field hides behind it.
BodyFraming read_framing(const char *head, size_t n, size_t limit) {
  BodyFraming bf;
  const char *p = static_cast<const char *>(std::memchr(head, '\n', n));
  const char *end = head + n;
  bool framing_field = false; // the previous line was one of the two
  while (p != nullptr && ++p < end && bf.why == nullptr) {
    const char *nl = static_cast<const char *>(std::memchr(p, '\n', end - p));
    const char *e = nl != nullptr ? nl : end;
    const char *line_end = e > p && e[-1] == '\r' ? e - 1 : e;
    const char *line = p;
    p = nl;
    if (line == line_end) continue;
    // A folded line continues the previous field: a framing field must not be split so.
    if (is_ows(*line)) {
      if (framing_field) bf.why = "a folded Transfer-Encoding or Content-Length";
      continue;
    }
    framing_field = false;
    const char *colon = static_cast<const char *>(std::memchr(line, ':', line_end - line));
    if (colon == nullptr) continue;
    const char *name_end = colon;
    while (name_end > line && is_ows(name_end[-1])) name_end--;
    const auto name_len = static_cast<size_t>(name_end - line);
    const bool te = is_named(line, name_len, "transfer-encoding");
    const bool cl = is_named(line, name_len, "content-length");
    if (!te && !cl) continue;
    framing_field = true;
    if (name_end != colon) {
      bf.why = "white space before the colon of a framing field";
      break;
    }
    if (te) {
      bf.coded = true;
      each_element(colon + 1, line_end, [&](const char *v, size_t len) {
        if (is_named(v, len, "chunked"))
          bf.chunked++;
        else
          bf.other++;
      });
    } else {
      each_element(colon + 1, line_end, [&](const char *v, size_t len) {
        if (bf.why == nullptr) add_length(&bf, v, len, limit);
      });
    }
  }
  return bf;
}

Framed fail(ResponseFrame *f, const char *why) {
  f->stage = kDone;
  f->why = why;
  return Framed::unusable;
}

Framed complete(ResponseFrame *f, Secret *buf, size_t end) {
  buf->truncate(end);
  f->stage = kDone;
  return Framed::done;
}

// What the head of the final response says of its body: the stage that reads it.
Framed start_body(ResponseFrame *f, Secret *buf, size_t head, int status, size_t limit) {
  f->pos = head;
  f->out = head;
  f->scanned = head;
  // These never have a body, whatever their fields say.
  if (status == 204 || status == 304) return complete(f, buf, head);
  const BodyFraming bf = read_framing(buf->get(), head, limit);
  if (bf.why != nullptr) return fail(f, bf.why);
  if (bf.coded) {
    if (bf.sized) return fail(f, "both Transfer-Encoding and Content-Length");
    if (bf.chunked != 1 || bf.other != 0) return fail(f, "a transfer coding other than chunked");
    // An HTTP/1.0 peer cannot have sent chunks: the framing is faulty (RFC 9112 section 6.1).
    if (std::strncmp(buf->get(), "HTTP/1.0", 8) == 0)
      return fail(f, "Transfer-Encoding in an HTTP/1.0 response");
    f->stage = kChunkSize;
    return Framed::more;
  }
  if (bf.sized) {
    if (bf.too_large || bf.length > limit - head) {
      f->too_large = true;
      return fail(f, "a Content-Length beyond the size limit");
    }
    f->left = bf.length;
    f->stage = kLength;
    return Framed::more;
  }
  f->stage = kToClose;
  return Framed::more;
}

// The status line and fields up to the empty line; interim responses are dropped from the front.
Framed take_head(ResponseFrame *f, Secret *buf, size_t limit, bool closed) {
  for (;;) {
    const char *b = buf->get();
    const size_t len = buf->size();
    // The empty line may straddle two reads.
    const size_t from = f->scanned > 3 ? f->scanned - 3 : 0;
    const void *blank = len > from ? memmem(b + from, len - from, "\r\n\r\n", 4) : nullptr;
    if (blank == nullptr) {
      f->scanned = len;
      if (len > kMaxHeadBytes) return fail(f, "header fields beyond 16384 bytes");
      // Closed within the head: what came goes to the status line's check as it is.
      if (closed) return complete(f, buf, len);
      return Framed::more;
    }
    const auto head = static_cast<size_t>(static_cast<const char *>(blank) - b) + 4;
    if (head > kMaxHeadBytes) return fail(f, "header fields beyond 16384 bytes");
    const int status = http_status(b);
    // No status line: the check of the whole response names what is wrong with it.
    if (status < 0) return complete(f, buf, len);
    if (status == 101) return fail(f, "a switch of protocols that was not asked for");
    if (!is_interim(status)) return start_body(f, buf, head, status, limit);
    if (++f->interim > kMaxInterim) return fail(f, "too many interim responses");
    buf->erase_front(head);
    f->scanned = 0;
  }
}

// The line that starts at f->pos, without its CRLF: false while it has not all come (or when it
// ends without CR, *bad).
bool take_line(ResponseFrame *f, const Secret &buf, const char **line, size_t *n, bool *bad) {
  const char *b = buf.get();
  const size_t len = buf.size();
  const void *nl = len > f->scanned ? std::memchr(b + f->scanned, '\n', len - f->scanned) : nullptr;
  if (nl == nullptr) {
    f->scanned = len;
    return false;
  }
  const auto eol = static_cast<size_t>(static_cast<const char *>(nl) - b);
  if (eol == f->pos || b[eol - 1] != '\r') {
    *bad = true;
    return false;
  }
  *line = b + f->pos;
  *n = eol - 1 - f->pos;
  f->pos = eol + 1;
  f->scanned = f->pos;
  return true;
}

// A chunk's size line: hexadecimal digits, then optionally white space and extensions after a
// semicolon (ignored). False when the line is none; *big when the size passes `limit`.
bool chunk_size(const char *line, size_t n, size_t limit, size_t *size, bool *big) {
  size_t i = 0;
  size_t value = 0;
  for (int d = 0; i < n && (d = hex_digit(line[i])) >= 0; i++) {
    value = value * 16 + static_cast<size_t>(d);
    if (value > limit) {
      *big = true;
      return false;
    }
  }
  if (i == 0) return false;
  while (i < n && is_ows(line[i])) i++;
  if (i < n && line[i] != ';') return false;
  *size = value;
  return true;
}

} // namespace

Framed frame_response(ResponseFrame *f, Secret *buf, size_t limit, bool closed) {
  const char *cut = "the connection closed within the chunked body";
  for (;;) {
    char *b = buf->get();
    const size_t len = buf->size();
    switch (f->stage) {
    case kHead: {
      const Framed r = take_head(f, buf, limit, closed);
      if (r != Framed::more || f->stage == kHead) return r;
      continue;
    }
    case kLength:
      if (len - f->pos >= f->left) return complete(f, buf, f->pos + f->left);
      if (closed) return fail(f, "a body shorter than its Content-Length");
      return Framed::more;
    case kToClose:
      return closed ? complete(f, buf, len) : Framed::more;
    case kChunkSize:
    case kTrailer: {
      const char *line = nullptr;
      size_t n = 0;
      bool bad = false;
      if (!take_line(f, *buf, &line, &n, &bad)) {
        if (bad) return fail(f, "a chunk line that does not end in CRLF");
        if (f->stage == kTrailer && f->trailer + (len - f->pos) > kMaxHeadBytes)
          return fail(f, "trailer fields beyond 16384 bytes");
        return closed ? fail(f, cut) : Framed::more;
      }
      if (f->stage == kTrailer) {
        // Trailer fields are not used; the empty line ends the response.
        if (n == 0) return complete(f, buf, f->out);
        f->trailer += n + 2;
        if (f->trailer > kMaxHeadBytes) return fail(f, "trailer fields beyond 16384 bytes");
        continue;
      }
      size_t size = 0;
      bool big = false;
      if (!chunk_size(line, n, limit, &size, &big) || size > limit - f->out) {
        f->too_large = big || size > limit - f->out;
        return fail(f, f->too_large ? "a chunk beyond the size limit" : "a bad chunk size");
      }
      f->left = size;
      f->stage = size == 0 ? kTrailer : kChunkData;
      continue;
    }
    case kChunkData: {
      // The chunk's bytes move down to follow the body decoded so far.
      const size_t n = len - f->pos < f->left ? len - f->pos : f->left;
      if (n > 0 && f->out != f->pos) std::memmove(b + f->out, b + f->pos, n);
      f->out += n;
      f->pos += n;
      f->left -= n;
      if (f->left > 0) return closed ? fail(f, cut) : Framed::more;
      f->stage = kChunkEnd;
      continue;
    }
    case kChunkEnd:
      if (len - f->pos >= 1 && b[f->pos] != '\r') return fail(f, "chunk data not followed by CRLF");
      if (len - f->pos < 2) return closed ? fail(f, cut) : Framed::more;
      if (b[f->pos + 1] != '\n') return fail(f, "chunk data not followed by CRLF");
      f->pos += 2;
      f->scanned = f->pos;
      f->stage = kChunkSize;
      continue;
    default:
      return Framed::done;
    }
  }
}

} // namespace zv::transport
