#include "sync/encoding.h"

#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "base/text.h"

namespace synch {
namespace {

// Host and extra fields of a description line are read up to this many characters.
constexpr size_t kFieldMax = 51;

char EncodeValue(unsigned value) {
  value &= 63;
  return value == 0 ? '`' : static_cast<char>(value + 32);
}

unsigned DecodeValue(char c) {
  return (static_cast<unsigned char>(c) - 32u) & 63u;
}

// The text after the last "/" or "\".
std::string_view BaseName(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The folder part just before the base name ("TRACE_x" of ".../TRACE_x/file").
std::string_view ParentName(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string_view::npos) return {};
  std::string_view dir = path.substr(0, slash);
  while (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.remove_suffix(1);
  return BaseName(dir);
}

// One word with line breaks and blanks removed, so it stays one word of the description line.
std::string Word(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (!base::IsBlank(c)) out += c;
  }
  return out;
}

void ParseDescription(std::string_view line, SynchHeader& header) {
  header = SynchHeader{};
  std::string_view rest = line.size() > 9 ? line.substr(9) : std::string_view();
  size_t pos = 0;
  std::string_view letter = base::NextWord(rest, pos);
  if (letter.empty()) return;
  header.kind = static_cast<unsigned char>(letter[0]) - 'a';
  std::string_view time = base::NextWord(rest, pos);
  long value = 0;
  bool negative = !time.empty() && time[0] == '-';
  for (size_t i = negative ? 1 : 0; i < time.size() && time[i] >= '0' && time[i] <= '9'; ++i) {
    if (value < 100000000000L) value = value * 10 + (time[i] - '0');
  }
  header.time = negative ? -value : value;
  header.host = std::string(base::NextWord(rest, pos).substr(0, kFieldMax));
  header.extra = std::string(base::NextWord(rest, pos).substr(0, kFieldMax));
  header.origin = std::string(base::NextWord(rest, pos).substr(0, kFieldMax));
}

// Decodes the lines that `next` yields (carriage returns already dropped).
DecodedMessage Decode(const std::function<bool(std::string&)>& next, const std::string& folder) {
  DecodedMessage message;
  std::string line;
  while (next(line)) {
    if (line.starts_with("filetype")) {
      ParseDescription(line, message.header);
      continue;
    }
    if (!line.starts_with("begin")) continue;
    std::string name = BeginLineName(line);
    if (name.empty()) return message;  // nothing may be written for a name like ".."
    message.has_file = true;
    std::string path = base::JoinPath(folder, name);
    base::File out = base::OpenFile(path, "wb");
    if (!out) return message;  // a name the file system refuses (too long...): not complete
    // It may be a members file: readable by the owner alone until it is put in place.
    ::fchmod(::fileno(out.get()), 0600);
    message.path = std::move(path);
    bool whole = true;
    bool closed = false;
    while (next(line)) {
      if (line.empty() || DecodeValue(line[0]) == 0) {
        closed = next(line) && line == "end";
        break;
      }
      size_t n = DecodeValue(line[0]);
      if (line.size() < 1 + (n + 2) / 3 * 4) whole = false;
      std::string bytes = DecodeLine(line);
      if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) whole = false;
    }
    whole = std::fflush(out.get()) == 0 && whole;
    message.complete = whole && closed;
    return message;
  }
  return message;
}

}  // namespace

std::string EncodeLine(std::string_view bytes) {
  std::string line;
  line.reserve(1 + (bytes.size() + 2) / 3 * 4);
  line += static_cast<char>(bytes.size() + 32);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned a = static_cast<unsigned char>(bytes[i]);
    unsigned b = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    unsigned c = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    line += EncodeValue(a >> 2);
    line += EncodeValue((a << 4) | (b >> 4));
    line += EncodeValue((b << 2) | (c >> 6));
    line += EncodeValue(c);
  }
  return line;
}

std::string DecodeLine(std::string_view line) {
  std::string bytes;
  if (line.empty()) return bytes;
  int n = static_cast<int>(DecodeValue(line[0]));
  for (size_t i = 1; n > 0; i += 4, n -= 3) {
    auto at = [&](size_t k) { return k < line.size() ? DecodeValue(line[k]) : 0u; };
    unsigned a = at(i), b = at(i + 1), c = at(i + 2), d = at(i + 3);
    bytes += static_cast<char>((a << 2 | b >> 4) & 255);
    if (n >= 2) bytes += static_cast<char>((b << 4 | c >> 2) & 255);
    if (n >= 3) bytes += static_cast<char>((c << 6 | d) & 255);
  }
  return bytes;
}

std::string BeginLineName(std::string_view line) {
  size_t pos = 0;
  base::NextWord(line, pos);  // "begin"
  base::NextWord(line, pos);  // the mode
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string_view name = BaseName(line.substr(pos));
  while (!name.empty() && base::IsBlank(name.back())) name.remove_suffix(1);
  if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string_view::npos)
    return {};
  return std::string(name);
}

bool EncodeSynchFile(std::FILE* out, const std::string& path, int kind, std::string_view host,
                     std::string_view origin) {
  std::string_view base = BaseName(path);
  std::string extra;
  if (kind == 3) extra = Word(ParentName(path));
  if (kind == 3 && !extra.empty() && !Word(origin).empty()) extra += " " + Word(origin);
  if (kind == 4 || kind == 5) extra = Word(path);
  std::string text = base::Sprintf("\r\nfiletype: %c %ld %s %s\r\n", static_cast<char>('a' + kind),
                                   static_cast<long>(std::time(nullptr)), Word(host), extra);
  std::string name(base);
  std::erase(name, '\r');
  std::erase(name, '\n');
  text += base::Sprintf("\r\nbegin 0666 %s\r\n", name);
  bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (kind == 4 || kind == 5) return ok;
  base::File in = base::OpenFile(path, "rb");
  if (!in) return false;
  char chunk[kEncodedLineBytes];
  size_t n;
  while (ok && (n = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) {
    std::string line = EncodeLine(std::string_view(chunk, n)) + "\r\n";
    ok = std::fwrite(line.data(), 1, line.size(), out) == line.size();
  }
  ok = ok && !std::ferror(in.get());
  return std::fputs("`\r\nend\r\n", out) >= 0 && ok;
}

std::optional<std::string> SignedPart(std::string_view mail) {
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos < mail.size();) {
    size_t end = mail.find('\n', pos);
    if (end == std::string_view::npos) end = mail.size();
    std::string_view line = mail.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  auto is_part = [](std::string_view line) {
    return line.starts_with("filetype") || line.starts_with("begin");
  };
  size_t i = 0;
  const size_t n = lines.size();
  if (n > 0 && !lines[0].starts_with("filetype:")) {
    for (; i < n && !lines[i].empty(); ++i)
      if (is_part(lines[i])) return std::nullopt;  // a message hidden in the head
  }
  while (i < n && lines[i].empty()) ++i;
  if (i == n || !lines[i].starts_with("filetype:")) return std::nullopt;
  const size_t start = i++;
  while (i < n && lines[i].empty()) ++i;
  if (i < n) {
    if (!lines[i++].starts_with("begin")) return std::nullopt;
    // The data, up to its closing line (a length of 0); a cut-off block is left to the
    // decoder, which reports it.
    while (i < n && !lines[i].empty() && DecodeValue(lines[i][0]) != 0) ++i;
    if (i < n) {
      if (i + 1 >= n || lines[i + 1] != "end") return std::nullopt;
      i += 2;
      if (i < n) return std::nullopt;  // something after "end": a second block...
    }
  }
  std::string part;
  for (size_t k = start; k < n; ++k) {
    if (k > start) part += '\n';
    part += lines[k];
  }
  return part;
}

std::optional<DecodedMessage> DecodeSynchFile(const std::string& path, const std::string& folder) {
  std::optional<std::string> text = base::ReadFile(path);
  if (!text) return std::nullopt;
  std::optional<std::string> part = SignedPart(*text);
  if (!part) {
    DecodedMessage refused;
    refused.refused = true;
    return refused;
  }
  size_t pos = 0;
  auto next = [&](std::string& line) {
    if (pos >= part->size()) return false;
    size_t end = part->find('\n', pos);
    if (end == std::string::npos) end = part->size();
    line.assign(*part, pos, end - pos);
    pos = end + 1;
    return true;
  };
  return Decode(next, folder);
}

}  // namespace synch
