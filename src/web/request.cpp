#include "web/request.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "web/cookies.h"
#include "web/diagnostics.h"
#include "web/response.h"

namespace web {
namespace {

constexpr size_t kFieldLimit = 998;    // multipart name, file name and value line
constexpr size_t kRebuiltLimit = 999;  // the rebuilt query text
constexpr size_t kReplayLineLimit = 1025;
// An uploaded file in a file is searched and copied in pieces of this size.
constexpr size_t kFilePiece = size_t{1} << 20;
constexpr std::string_view kMultipartMark = "----------------------------";  // 28 dashes

struct RequestCache {
  bool refused = false;  // over a limit: answered with the 413 page
  std::string raw_query;
  std::string written_upload;  // the uploaded file this process wrote, until discarded
};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string TempDir() {
  const char* t = std::getenv("TEMP");
  return t ? t : "c:\\temp\\";
}

// The first line of the old trace that is neither empty nor a comment, read in pieces of
// at most 1025 characters with its line end kept.
std::string ReplayQuery(std::FILE* trace) {
  std::string piece;
  int c;
  while (true) {
    piece.clear();
    while (piece.size() < kReplayLineLimit && (c = std::fgetc(trace)) != EOF) {
      piece += static_cast<char>(c);
      if (c == '\n') break;
    }
    if (piece.empty()) return {};
    if (piece != "\n" && piece.front() != '#') return piece;
  }
}

bool IsMultipartType() {
  return Env("CONTENT_TYPE").rfind("multipart/form-data", 0) == 0;
}

size_t DeclaredLength() {
  long long declared = std::strtoll(Env("CONTENT_LENGTH").c_str(), nullptr, 10);
  return declared <= 0 ? 0 : static_cast<size_t>(declared);
}

// The parameters a url-encoded text holds at most: one per "&", and one more.
size_t SegmentCount(std::string_view text);

// Reads the body: CONTENT_LENGTH bytes at most, fewer when the client sent fewer, and
// never more than kMaxBodyBytes. A multipart body is read only as far as the chunk that
// ends its first line: its parser reads the rest from standard input as it goes, so an
// uploaded file is streamed to its data file and never held here. `unread` receives the
// number of body bytes left for the parser on standard input.
std::string ReadBody(size_t& unread, size_t limit) {
  size_t total = DeclaredLength();
  size_t want = std::min({total, kMaxBodyBytes, limit});
  const bool multipart_type = IsMultipartType();
  std::string body;
  char chunk[65536];
  bool multipart = false, ended = false;
  while (body.size() < want) {
    size_t n = std::fread(chunk, 1, std::min(sizeof chunk, want - body.size()), stdin);
    if (n == 0) {
      ended = true;
      break;
    }
    body.append(chunk, n);
    multipart = multipart_type || body.compare(0, kMultipartMark.size(), kMultipartMark) == 0;
    if (multipart && std::memchr(chunk, '\n', n)) break;
  }
  unread = multipart && !ended ? total - body.size() : 0;
  return body;
}

struct QueryText {
  std::string refused;  // why the request is over a limit; empty when it is not
  std::string text;
  std::string body;  // the POST body (a multipart body: its first chunk, see ReadBody)
  size_t first_line_end = 0;
  size_t unread = 0;       // body bytes still on standard input
  bool body_read = false;  // a POST body was read (and is copied, even when empty)
  std::string trace;       // the trace "quorb.tra", written once the request is decoded
};

bool IsMultipart(const QueryText& q);

std::string TracePath() {
  return base::Sprintf("%s/quorb.tra", TempDir());
}

QueryText ObtainQuery(const char* argument) {
  QueryText q;
  const char* qs_env = std::getenv("QUERY_STRING");
  std::string qs = qs_env ? qs_env : "";

  // Replay is for a developer's command line: a web server (which always sets
  // GATEWAY_INTERFACE) never has an old request run again.
  if (argument && !std::getenv("GATEWAY_INTERFACE")) {
    base::File old = base::OpenFile(TracePath(), "rb");
    if (old && std::strcmp(argument, "TEST") == 0) qs = ReplayQuery(old.get());
  }

  auto tr = [&](std::string_view text) { q.trace += text; };
  tr(base::Sprintf("#qs\"%s\"\n", MaskQuery(qs)));
  tr(base::Sprintf("#*qs:<%d>\n",
                   qs.empty() ? 0 : static_cast<int>(static_cast<signed char>(qs[0]))));
  if (argument) tr(base::Sprintf("#arg:<%s>\n", argument));

  const config::RequestLimits limits = config::GetRequestLimits();
  if (!qs.empty()) {
    if (qs.size() > limits.form_bytes)
      q.refused = base::Sprintf("The query is longer than %zu bytes.", limits.form_bytes);
    q.text = qs;
  } else {
    std::string method = Env("REQUEST_METHOD");
    tr(base::Sprintf("#METHOD >>%s\n", method));
    bool post = method == "POST";
    tr(base::Sprintf("#post: %d\n#qs=\"", post ? 1 : 0));
    const bool multipart = IsMultipartType();
    const size_t limit = multipart ? limits.upload_bytes : limits.form_bytes;
    if (post && DeclaredLength() > limit) {
      // Refused before a byte of the body is read.
      q.refused = base::Sprintf(
          multipart ? "The upload is larger than %zu bytes." : "The form is larger than %zu bytes.",
          limit);
      post = false;
    }
    if (post) {
      q.body = ReadBody(q.unread, limit);
      q.body_read = true;
      size_t lf = q.body.find('\n');
      q.first_line_end = lf == std::string::npos ? q.body.size() : lf + 1;
      q.text = q.body.substr(0, q.first_line_end);
      tr(MaskQuery(q.text));
    }
    tr("\";\n");
  }
  tr("#\n");
  tr(MaskQuery(q.text));
  tr("\n");
  if (q.refused.empty() && !IsMultipart(q) && SegmentCount(q.text) > limits.parameters)
    q.refused = base::Sprintf("The request carries more than %zu parameters.", limits.parameters);
  return q;
}

bool IsMultipart(const QueryText& q) {
  if (q.text.compare(0, kMultipartMark.size(), kMultipartMark) == 0) return true;
  // Browsers that draw boundaries with fewer dashes still say what they send.
  return !q.body.empty() && IsMultipartType();
}

// Reader over the body after its first line: the bytes already in memory, then the rest
// of the body, read from `more` in chunks as it is needed.
class BodyReader {
 public:
  explicit BodyReader(std::string_view head, std::FILE* more = nullptr, size_t more_bytes = 0)
      : data_(head), more_(more), more_bytes_(more_bytes) {}

  int Get() {
    if (pos_ == data_.size() && !Refill()) return EOF;
    return static_cast<unsigned char>(data_[pos_++]);
  }
  // The bytes at hand from the current position; empty only at the end of the body.
  std::string_view Peek() {
    if (pos_ == data_.size()) Refill();
    return data_.substr(pos_);
  }
  void Skip(size_t n) { pos_ += n; }
  // The bytes at hand, without reading more.
  std::string_view Buffered() const { return data_.substr(pos_); }
  // Where the rest of the body lies when it is in a regular file (as a web server that kept
  // the body in a file hands it over): the descriptor, the offset and the byte count.
  bool RestInFile(int& fd, off_t& offset, size_t& bytes) const {
    if (!more_ || more_bytes_ == 0) return false;
    struct stat st;
    fd = fileno(more_);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    offset = ftello(more_);  // counts what the stream has read ahead as unread
    if (offset < 0 || offset > st.st_size) return false;
    bytes = std::min(more_bytes_, static_cast<size_t>(st.st_size - offset));
    return bytes > 0;
  }

  // Bytes up to `stop` (consumed, not kept), of which at most 998 are kept: a longer run
  // is cut, and its rest consumed with it. Nothing once the end of the body is reached.
  std::optional<std::string> ReadUntil(char stop) {
    std::string out;
    while (true) {
      int c = Get();
      if (c == EOF) return std::nullopt;
      if (c == static_cast<unsigned char>(stop)) return out;
      if (out.size() < kFieldLimit) out += static_cast<char>(c);
    }
  }

 private:
  bool Refill() {
    if (!more_ || more_bytes_ == 0) return false;
    buffer_.resize(kChunk);
    size_t n = std::fread(buffer_.data(), 1, std::min(buffer_.size(), more_bytes_), more_);
    if (n == 0) {
      more_bytes_ = 0;
      return false;
    }
    more_bytes_ -= n;
    data_ = std::string_view(buffer_.data(), n);
    pos_ = 0;
    return true;
  }

  static constexpr size_t kChunk = 1 << 16;
  std::string_view data_;
  size_t pos_ = 0;
  std::FILE* more_;
  size_t more_bytes_;
  std::string buffer_;
};

std::string CutAtControl(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) >= 0x20) ++i;
  return std::string(s.substr(0, i));
}

// The file part's bytes: kept in `data`, or, with a file, written out in chunks.
struct FilePartOut {
  static constexpr size_t kChunk = 1 << 16;
  std::string data;
  std::FILE* file = nullptr;
  bool failed = false;

  void Append(std::string_view bytes) {
    if (file && data.empty() && bytes.size() >= kChunk) {
      Write(bytes);
      return;
    }
    data.append(bytes);
    if (file && data.size() >= kChunk) Flush();
  }
  void Flush() {
    if (!file || data.empty()) return;
    Write(data);
    data.clear();
  }
  void Write(std::string_view bytes) {
    failed = failed || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size();
  }
};

// Copies the file part up to the closing delimiter. The line end before the delimiter
// belongs to the delimiter, so the file gets exactly the bytes that were sent. The
// delimiter is searched for in each chunk read; one that begins at the end of a chunk is
// followed byte by byte into the next (the carriage return that starts it occurs nowhere
// else in it, so a broken match may only restart on the byte that broke it). False when
// the body ended before the delimiter: the file part is incomplete.
bool CopyFilePart(BodyReader& in, std::string_view delimiter, FilePartOut& out) {
  const std::string match = "\r\n" + std::string(delimiter);
  size_t k = 0;  // the bytes of `match` seen last, not yet known to be file content
  while (k < match.size()) {
    if (out.failed) return false;
    std::string_view at = in.Peek();
    if (at.empty()) return false;
    if (k > 0) {
      char b = at[0];
      in.Skip(1);
      if (b == match[k]) {
        ++k;
        continue;
      }
      out.Append(std::string_view(match).substr(0, k));
      k = b == match[0] ? 1 : 0;
      if (k == 0) out.Append(std::string_view(&b, 1));
      continue;
    }
    if (const void* hit = memmem(at.data(), at.size(), match.data(), match.size())) {
      size_t at_hit = static_cast<size_t>(static_cast<const char*>(hit) - at.data());
      out.Append(at.substr(0, at_hit));
      in.Skip(at_hit + match.size());
      break;
    }
    // The chunk may end inside a match: from its last carriage return on.
    size_t cr = at.rfind('\r');
    if (cr != std::string_view::npos && at.size() - cr < match.size() &&
        std::string_view(match).starts_with(at.substr(cr))) {
      k = at.size() - cr;
      at = at.substr(0, cr);
    }
    out.Append(at);
    in.Skip(at.size() + k);
  }
  out.Flush();
  return !out.failed;
}

// The bytes `at` to `at` + `size` of a file, mapped read-only, and unmapped when it goes.
class FileMapping {
 public:
  FileMapping(int fd, off_t at, size_t size) {
    const off_t page = ::sysconf(_SC_PAGESIZE);
    lead_ = static_cast<size_t>(at % page);
    size_ = lead_ + size;
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, at - static_cast<off_t>(lead_));
    if (p == MAP_FAILED) return;
    base_ = static_cast<char*>(p);
    ::madvise(base_, size_, MADV_SEQUENTIAL);
  }
  ~FileMapping() {
    if (base_) ::munmap(base_, size_);
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  // The first byte; null when the file could not be mapped.
  const char* data() const { return base_ ? base_ + lead_ : nullptr; }
  // Lets go of the pages that lie wholly before byte `at`: the file stays as it is, but
  // they no longer count for this process.
  void Release(size_t at) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t end = (lead_ + at) / page * page;
    if (end > released_) ::madvise(base_ + released_, end - released_, MADV_DONTNEED);
    released_ = std::max(released_, end);
  }

 private:
  char* base_ = nullptr;
  size_t lead_ = 0;  // from the page boundary the mapping starts at to byte `at`
  size_t size_ = 0;
  size_t released_ = 0;
};

// The file part, when the rest of the body lies in a regular file: the file is mapped and the
// delimiter looked for a piece at a time; what lies before the last bytes of a piece is then
// known to be file content, and is written out from the mapping while its pages are at hand.
// The process reads nothing in and never holds more than a piece of the file. Nothing when
// the body is not in a file, the whole match is already at hand, or the file cannot be mapped:
// the caller then copies the part itself. Else whether the part was complete and written.
std::optional<bool> CopyFilePartInFile(BodyReader& in, std::string_view match, int out) {
  int fd;
  off_t offset;
  size_t bytes;
  const std::string_view at_hand = in.Buffered();
  if (!in.RestInFile(fd, offset, bytes) ||
      memmem(at_hand.data(), at_hand.size(), match.data(), match.size()) != nullptr)
    return std::nullopt;
  FileMapping file(fd, offset, bytes);
  if (!file.data()) return std::nullopt;
  const std::string_view rest(file.data(), bytes);
  const size_t keep = match.size() - 1;  // a match cut at an edge has this much on one side

  // A match that begins in the bytes at hand and ends in the file.
  const size_t held = std::min(keep, at_hand.size());
  std::string joint(at_hand.substr(at_hand.size() - held));
  joint.append(rest.substr(0, keep));
  if (const void* hit = memmem(joint.data(), joint.size(), match.data(), match.size())) {
    const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - joint.data());
    const size_t from_hand = at_hand.size() - held + std::min(at, held);
    return base::WriteAll(out, at_hand.substr(0, from_hand)) &&
           base::WriteAll(out, rest.substr(0, at - std::min(at, held)));
  }
  if (!base::WriteAll(out, at_hand)) return false;

  for (size_t from = 0; from < bytes;) {
    const std::string_view piece = rest.substr(from, kFilePiece);
    if (const void* hit = memmem(piece.data(), piece.size(), match.data(), match.size()))
      return base::WriteAll(out, piece.substr(0, static_cast<const char*>(hit) - piece.data()));
    if (from + piece.size() == bytes || !base::WriteAll(out, piece.substr(0, piece.size() - keep)))
      break;
    from += piece.size() - keep;
    file.Release(from);
  }
  return false;  // the body ended before the delimiter
}

// Streams the file part into the file `path`. A file part that is incomplete or cannot be
// written leaves no file.
bool CopyFilePartTo(BodyReader& in, std::string_view delimiter, const std::string& path) {
  base::File file = base::OpenFile(path, "wb");
  if (!file) return false;
  // FilePartOut writes whole chunks; a stream buffer would only split them.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  bool complete;
  const std::string match = "\r\n" + std::string(delimiter);
  if (std::optional<bool> in_file = CopyFilePartInFile(in, match, fileno(file.get()))) {
    complete = *in_file;
  } else {
    FilePartOut out;
    out.file = file.get();
    complete = CopyFilePart(in, delimiter, out);
  }
  complete = std::fclose(file.release()) == 0 && complete;
  if (!complete) base::RemoveFile(path);
  return complete;
}

// How often `c` occurs in `text`; counted in blocks the compiler can do many bytes at a time.
size_t CountByte(std::string_view text, char c) {
  constexpr size_t kBlock = 64;
  size_t n = 0, i = 0;
  for (; i + kBlock <= text.size(); i += kBlock) {
    unsigned in_block = 0;
    for (size_t j = 0; j < kBlock; ++j) in_block += text[i + j] == c;
    n += in_block;
  }
  for (; i < text.size(); ++i) n += text[i] == c;
  return n;
}

size_t SegmentCount(std::string_view text) {
  return CountByte(text, '&') + 1;
}

// The answer to a request over a limit: status 413 and a page that says which, written
// before the body is read; nothing of the request is decoded or stored.
void WriteTooLarge(std::string_view why) {
  ResponseHeader header;
  header.status = 413;
  header.status_text = "Payload Too Large";
  // A script's call (a key in the Authorization header) is told in the interface's JSON.
  if (Env("HTTP_AUTHORIZATION").starts_with("Bearer ")) {
    header.type = "application/json; charset=utf-8";
    WriteResponseHeader(header);
    base::Page("{\"error\":{\"status\":413,\"code\":\"too_large\",\"message\":\"%s\"}}\n", why);
    return;
  }
  WriteResponseHeader(header);
  base::Page(
      "<HTML>\n<HEAD>\n<TITLE>Request too large</TITLE>\n</HEAD>\n<BODY>\n"
      "<H1>Request too large</H1>\n<P>%s Nothing was stored.\n"
      "<P>The limits are set in quorb.cfg on the server (MAXFORM, MAXPARAMS, MAXUPLOAD, "
      "MAXPARTS).\n<P><A HREF=\"%s\">Home</A>\n</BODY>\n</HTML>\n",
      base::EscapeHtml(why), base::EscapeHtml(ScriptName()));
}

}  // namespace

ParamList DecodeUrlEncoded(std::string_view text) {
  // The list holds the request's last parameter first, so the segments are taken from the
  // end of the text backwards: each node goes to the back of the list, in linear time.
  ParamList list;
  list.reserve(CountByte(text, '&') + 1);
  size_t end = text.size();
  while (true) {
    const void* amp_at = end == 0 ? nullptr : memrchr(text.data(), '&', end);
    size_t begin =
        amp_at ? static_cast<size_t>(static_cast<const char*>(amp_at) - text.data()) + 1 : 0;
    std::string_view segment = text.substr(begin, end - begin);
    size_t eq = segment.find('=');
    if (eq != std::string_view::npos)
      list.push_back(
          Param{std::string(segment.substr(0, eq)), base::UrlDecode(segment.substr(eq + 1))});
    if (!amp_at) break;
    end = begin - 1;
  }
  return list;
}

MultipartResult ParseMultipart(std::string_view first_line, std::string_view rest,
                               const MultipartStream* stream) {
  MultipartResult r;
  size_t d = 0;
  while (d < first_line.size() && static_cast<unsigned char>(first_line[d]) > 0x20) ++d;
  std::string delimiter(first_line.substr(0, std::min(d, kFieldLimit + 1)));
  r.trace += base::Sprintf("\ndelimiter:>%s<\n", delimiter);

  BodyReader in(rest, stream ? stream->more : nullptr, stream ? stream->more_bytes : 0);
  const size_t max_parts = stream ? stream->max_parts : SIZE_MAX;
  while (true) {
    auto header = in.ReadUntil('"');
    if (!header) break;
    if (r.list.size() >= max_parts) {
      r.too_many_parts = true;
      break;
    }
    r.trace += base::Sprintf("->%s\n", *header);
    auto name = in.ReadUntil('"');
    if (!name) break;
    r.trace += base::Sprintf("nom->%s\n", *name);
    int c = in.Get();
    if (c == EOF) {
      r.list.push_back(Param{*name, ""});
      break;
    }
    r.trace += base::Sprintf("-%c-\n", static_cast<char>(c));
    if (c == ';') {
      in.ReadUntil('"');
      std::string filename = in.ReadUntil('"').value_or("");
      for (int i = 0; i < 3; ++i) in.ReadUntil('\n');
      r.trace += base::Sprintf("-->%s\n", filename);
      r.list.push_back(Param{*name, filename});
      r.trace += base::Sprintf(" delimiter: >%s<\n", delimiter);
      if (stream) {
        r.upload_written = CopyFilePartTo(in, delimiter, stream->upload_path);
      } else {
        FilePartOut out;
        if (CopyFilePart(in, delimiter, out)) r.upload = std::move(out.data);
      }
      break;
    }
    in.ReadUntil('\n');
    in.ReadUntil('\n');
    std::string value = CutAtControl(in.ReadUntil('\n').value_or(""));
    r.trace += base::Sprintf("-->%s\n", value);
    r.trace += base::Sprintf("-->len: %d \n", static_cast<int>(value.size()));
    r.list.push_back(Param{*name, std::move(value)});
  }
  // Collected in the request's order; the list holds the last part first.
  std::reverse(r.list.begin(), r.list.end());

  for (const Param& p : r.list) {
    if (!r.rebuilt.empty()) r.rebuilt += '&';
    r.rebuilt += p.name;
    r.rebuilt += '=';
    r.rebuilt += p.value;
    if (r.rebuilt.size() >= kRebuiltLimit) break;
  }
  if (r.rebuilt.size() > kRebuiltLimit) r.rebuilt.resize(kRebuiltLimit);
  return r;
}

ParamList ParseRequest(const char* argument) {
  QueryText q = ObtainQuery(argument);
  ParamList list;
  if (!q.refused.empty()) {
    base::Cache<RequestCache>().refused = true;
    WriteTooLarge(q.refused);
    return list;
  }
  std::string raw = q.text;
  bool multipart = IsMultipart(q);
  if (multipart) {
    std::string_view body(q.body);
    // The uploaded file goes straight from standard input to its data file.
    MultipartStream stream{stdin, q.unread, UploadPath(), config::GetRequestLimits().parts};
    MultipartResult m =
        ParseMultipart(q.text, body.substr(std::min(q.first_line_end, body.size())), &stream);
    if (m.too_many_parts) {
      if (m.upload_written) base::RemoveFile(stream.upload_path);
      base::Cache<RequestCache>().refused = true;
      WriteTooLarge(base::Sprintf("The form has more than %zu parts.", stream.max_parts));
      return {};
    }
    q.trace += MaskMultipartTrace(m.trace);
    if (m.upload_written) base::Cache<RequestCache>().written_upload = stream.upload_path;
    list = std::move(m.list);
    raw = std::move(m.rebuilt);
  }
  // The request traces are for the administrator chasing a fault; every other click would
  // pay three file writes for them. The body's copy is written once the request is known to
  // be within its limits.
  if (config::IsDebugOn()) {
    if (q.body_read)
      WriteDiagnostic(base::Sprintf("%s/quorb.in", TempDir()),
                      multipart ? MaskMultipartBody(q.body) : MaskQuery(q.body));
    WriteDiagnostic(base::Sprintf("%s/quorb.tra", TempDir()), q.trace);
    WriteDiagnostic(base::Sprintf("%s/tmp/quorb.log", config::GetDataDir()),
                    (multipart ? RebuildMasked(list, kRebuiltLimit) : MaskQuery(raw)) + "\n");
  }
  base::Cache<RequestCache>().raw_query = raw;
  if (!multipart) list = DecodeUrlEncoded(q.text);
  return list;
}

bool RequestRefused() {
  return base::Cache<RequestCache>().refused;
}

const std::string& GetRawQuery() {
  return base::Cache<RequestCache>().raw_query;
}

std::string UploadPath() {
  return base::Sprintf("%s/tmp/data%d", config::GetDataDir(), static_cast<int>(getpid()));
}

void DiscardUpload() {
  std::string& written = base::Cache<RequestCache>().written_upload;
  if (written.empty()) return;
  base::RemoveFile(written);  // gone already when a handler moved it away
  written.clear();
}

}  // namespace web
