// The synchronisation message: a description line, then the carried file as uuencode text
// (a "begin" line with mode 0666, lines of at most 45 bytes, a closing "`" line and "end").
//
//   \r\nfiletype: b 946681200 siteA \r\n
//   \r\nbegin 0666 TaG.00012\r\n
//   M...45 bytes...\r\n
//   `\r\nend\r\n
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace synch {

// Bytes per encoded line.
inline constexpr size_t kEncodedLineBytes = 45;

// The description line of a message: its kind (1 to 5), when and by which installation it
// was made, the kind's extra field and, for an attachment, a word after it naming its sheet
// wherever partners keep it (a partner of an older version reads no further than the extra
// field).
struct SynchHeader {
  int kind = 0;
  long time = 0;
  std::string host;
  std::string extra;
  std::string origin;
};

// The encoded line for up to 45 bytes, without its line end.
std::string EncodeLine(std::string_view bytes);
// The bytes of an encoded line (without its line end); a blank stands for the value 0 as
// the grave accent does. Nothing for the closing "`" line.
std::string DecodeLine(std::string_view line);

// The name a "begin" line carries ("begin 0666 name"): the mode word is skipped, and only
// the text after the last "/" or "\" is kept. Empty when no usable name remains ("", ".",
// "..").
std::string BeginLineName(std::string_view line);

// Writes the message for the file `path` of kind `kind` into `out`; for kinds 4 and 5
// `path` is a bare message name, which is not opened. `host` is this installation's name;
// `origin`, when not empty, follows the extra field of an attachment. False when writing
// failed or the file could not be read whole.
bool EncodeSynchFile(std::FILE* out, const std::string& path, int kind, std::string_view host,
                     std::string_view origin = {});

// The part of a mail that its MAC covers and that alone is applied: the lines from its
// description line ("filetype:") to its last non-empty line, each without its line end,
// joined by line feeds. Nothing when the mail is not exactly one message: before the
// description only the mail head (the lines up to the first empty one, when the mail does
// not begin with the description) and empty lines; after it only empty lines, then at most
// one "begin" block whose data ends with the "`" line and "end", followed by nothing.
std::optional<std::string> SignedPart(std::string_view mail);

// What a stored message held.
struct DecodedMessage {
  SynchHeader header;
  bool refused = false;   // not exactly one message (SignedPart): nothing of it is used
  bool has_file = false;  // a "begin" line was found
  bool complete = false;  // its data ended with the "`" line and "end"
  std::string path;       // the file written (in `folder`); empty when none could be created
};

// Reads the stored message at `path` (a whole mail, or the part of it that SignedPart
// gives) and, when it is exactly one message, writes the carried file under its base name into
// `folder`, which the caller owns. Nothing when the message cannot be read.
std::optional<DecodedMessage> DecodeSynchFile(const std::string& path, const std::string& folder);

}  // namespace synch
