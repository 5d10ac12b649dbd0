// Decoding of the CGI request into the request parameter list.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "web/params.h"

namespace web {

// Decodes the request of this process: the query string of a GET, or the body of a POST
// (url-encoded or multipart, whose one uploaded file goes to UploadPath() until the end of
// the request, see DiscardUpload).
// `argument` is the first command-line argument or null; "TEST" replays the last trace.
// Writes the trace "<TEMP>/quorb.tra", the body copy "<TEMP>/quorb.in" and the log
// "<data>/tmp/quorb.log".
ParamList ParseRequest(const char* argument);

// True when the request was over one of the limits of quorb.cfg (config::RequestLimits):
// ParseRequest has then answered it with a 413 page and returned no parameter; the entry
// runs nothing else.
bool RequestRefused();

// The query text before decoding (for multipart, the text rebuilt from the list).
const std::string& GetRawQuery();

// Where this process keeps the uploaded file of a multipart request:
// "<data>/tmp/data<pid>". A handler that keeps the upload renames it away from there.
std::string UploadPath();

// Removes the uploaded file that ParseRequest wrote, when it is still there: an upload no
// handler took must not stay behind. Nothing happens when there was none, when it was moved
// away, or on a second call.
void DiscardUpload();

// Calls DiscardUpload when it goes out of scope; the entry holds one for the whole request.
class UploadGuard {
 public:
  UploadGuard() = default;
  ~UploadGuard() { DiscardUpload(); }
  UploadGuard(const UploadGuard&) = delete;
  UploadGuard& operator=(const UploadGuard&) = delete;
};

// --- The pieces, usable on their own ---------------------------------------------------

// The url-encoded loop: "name=value" segments joined by '&'; a segment without '=' is
// skipped. The result is in reverse order.
ParamList DecodeUrlEncoded(std::string_view text);

struct MultipartResult {
  ParamList list;
  std::string rebuilt;  // "name=value&..." in list order, cut at 999 characters
  // The file part's content (exactly the bytes sent), when there was one and the closing
  // delimiter came: kept here without a stream, written to its upload file with one.
  std::optional<std::string> upload;
  bool upload_written = false;
  bool too_many_parts = false;  // more parts than the stream's limit: the rest was not read
  std::string trace;            // the lines to append to the trace
};

// Where a streamed multipart body comes from and where its file part goes.
struct MultipartStream {
  std::FILE* more = nullptr;    // the body's bytes after `rest`,
  size_t more_bytes = 0;        // this many of them
  std::string upload_path;      // the file part is written here; none is left when incomplete
  size_t max_parts = SIZE_MAX;  // parts read at most
};

// Parses a multipart body. `first_line` is the boundary line (the query text), `rest` the
// body after it (or, with a stream, the part of it already read). Parsing stops after the
// first file part.
MultipartResult ParseMultipart(std::string_view first_line, std::string_view rest,
                               const MultipartStream* stream = nullptr);

// Bodies larger than this are read only up to it; a multipart body's file part is streamed
// and not limited.
constexpr size_t kMaxBodyBytes = 64u << 20;

}  // namespace web
