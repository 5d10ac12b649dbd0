#include "web/request.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "web/diagnostics.h"

namespace web {
namespace {

constexpr size_t kFieldLimit = 998;    // multipart name, file name and value line
constexpr size_t kRebuiltLimit = 999;  // the rebuilt query text
constexpr size_t kReplayLineLimit = 1025;
constexpr std::string_view kMultipartMark = "----------------------------";  // 28 dashes

struct RequestCache {
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

// Reads the body: CONTENT_LENGTH bytes at most, fewer when the client sent fewer, and
// never more than kMaxBodyBytes.
std::string ReadBody() {
  long long declared = std::strtoll(Env("CONTENT_LENGTH").c_str(), nullptr, 10);
  size_t want =
      declared <= 0 ? 0 : static_cast<size_t>(std::min<long long>(declared, kMaxBodyBytes));
  std::string body;
  char chunk[65536];
  while (body.size() < want) {
    size_t n = std::fread(chunk, 1, std::min(sizeof chunk, want - body.size()), stdin);
    if (n == 0) break;
    body.append(chunk, n);
  }
  return body;
}

struct QueryText {
  std::string text;
  std::string body;  // the whole POST body
  size_t first_line_end = 0;
  bool body_read = false;  // a POST body was read (and is copied, even when empty)
  std::string trace;       // the trace "quorb.tra", written once the request is decoded
};

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

  if (!qs.empty()) {
    q.text = qs;
  } else {
    std::string method = Env("REQUEST_METHOD");
    tr(base::Sprintf("#METHOD >>%s\n", method));
    bool post = method == "POST";
    tr(base::Sprintf("#post: %d\n#qs=\"", post ? 1 : 0));
    if (post) {
      q.body = ReadBody();
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
  return q;
}

bool IsMultipart(const QueryText& q) {
  if (q.text.compare(0, kMultipartMark.size(), kMultipartMark) == 0) return true;
  // Browsers that draw boundaries with fewer dashes still say what they send.
  return !q.body.empty() && Env("CONTENT_TYPE").rfind("multipart/form-data", 0) == 0;
}

// Byte-by-byte reader over the body after its first line.
class BodyReader {
 public:
  explicit BodyReader(std::string_view body) : body_(body) {}
  bool AtEnd() const { return pos_ >= body_.size(); }
  int Get() { return AtEnd() ? EOF : static_cast<unsigned char>(body_[pos_++]); }

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
  std::string_view body_;
  size_t pos_ = 0;
};

std::string CutAtControl(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) >= 0x20) ++i;
  return std::string(s.substr(0, i));
}

// Copies the file part up to the delimiter. A partial match that breaks is written out
// with the breaking byte, which is not tried as the start of a new match.
std::string CopyFilePart(BodyReader& in, std::string_view delimiter, std::string& trace) {
  std::string out;
  size_t k = 0;
  int c;
  while (k < delimiter.size() && (c = in.Get()) != EOF) {
    char b = static_cast<char>(c);
    if (b == delimiter[k]) {
      trace += base::Sprintf("++: %c %c %d\n", delimiter[k], b, static_cast<int>(k));
      ++k;
    } else if (k == 0) {
      out += b;
    } else {
      trace += base::Sprintf("I=: %c %c %d\n", delimiter[k], b, static_cast<int>(k));
      out.append(delimiter.substr(0, k));
      out += b;
      k = 0;
    }
  }
  if (k < delimiter.size()) out.append(delimiter.substr(0, k));  // body ended inside a match
  return out;
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

MultipartResult ParseMultipart(std::string_view first_line, std::string_view rest) {
  MultipartResult r;
  size_t d = 0;
  while (d < first_line.size() && static_cast<unsigned char>(first_line[d]) > 0x20) ++d;
  std::string delimiter(first_line.substr(0, std::min(d, kFieldLimit + 1)));
  r.trace += base::Sprintf("\ndelimiter:>%s<\n", delimiter);

  BodyReader in(rest);
  while (true) {
    auto header = in.ReadUntil('"');
    if (!header) break;
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
      r.upload = CopyFilePart(in, delimiter, r.trace);
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
  std::string raw = q.text;
  bool multipart = IsMultipart(q);
  // The diagnostic copy of the body; parsing works on this process's own bytes.
  if (q.body_read)
    WriteDiagnostic(base::Sprintf("%s/quorb.in", TempDir()),
                    multipart ? MaskMultipartBody(q.body) : MaskQuery(q.body));
  if (multipart) {
    std::string_view body(q.body);
    MultipartResult m =
        ParseMultipart(q.text, body.substr(std::min(q.first_line_end, body.size())));
    q.trace += MaskMultipartTrace(m.trace);
    if (m.upload) {
      std::string path = UploadPath();
      base::OverwriteFile(path, *m.upload);
      base::Cache<RequestCache>().written_upload = std::move(path);
    }
    list = std::move(m.list);
    raw = std::move(m.rebuilt);
  }
  WriteDiagnostic(base::Sprintf("%s/quorb.tra", TempDir()), q.trace);
  WriteDiagnostic(base::Sprintf("%s/tmp/quorb.log", config::GetDataDir()),
                  (multipart ? RebuildMasked(list, kRebuiltLimit) : MaskQuery(raw)) + "\n");
  base::Cache<RequestCache>().raw_query = raw;
  if (!multipart) list = DecodeUrlEncoded(q.text);
  return list;
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
