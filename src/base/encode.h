// Encoders for text that goes into pages.
#pragma once

#include <string>
#include <string_view>

namespace base {

// For a value written into HTML text or a double-quoted attribute: '<', '>' and '"' become
// entities; everything else, '&' included, passes unchanged so ordinary values stay byte for byte.
std::string EscapeHtml(std::string_view text);
// As EscapeHtml, appended to `out`.
void AppendHtml(std::string& out, std::string_view text);

// For a value written inside a script string: as EscapeHtml, and '\' doubled.
std::string EscapeScript(std::string_view text);

// Percent-encodes a text for a link or a form value: ASCII letters and digits stay, a blank
// becomes "+" (`blank_as_plus`) or "%20", every other byte "%" and two upper-case hex digits.
std::string UrlEncode(std::string_view text, bool blank_as_plus = true);

// One field of a tab-separated download (read by spreadsheets and by Python's csv with the
// excel-tab dialect): a tab, carriage return or line feed becomes a blank, so the field
// cannot break its row; a value that begins with a double quote is written quoted, its
// quotes doubled, so that it is not taken for a quoted field. A quote further in is read as
// it stands by those readers, and stays as it is. A value that begins with "=", "+", "-" or
// "@" gets a "'" before it, so that a spreadsheet opening the file takes it for text, never
// for a formula (=HYPERLINK(...) typed in a form).
std::string TsvField(std::string_view value);

// As UrlEncode (a blank too becomes "%20"), but the characters of `keep` also stay.
std::string PercentEncode(std::string_view text, std::string_view keep);

// A value written into a test-book link: as UrlEncode, with lower-case hexadecimal digits.
std::string EncodeLinkValue(std::string_view text);

// Decodes one url-encoded value: '+' is a blank, "%XX" the byte it encodes, a decoded 0xA0 a
// blank. A '%' without two hexadecimal digits after it stands for itself, and decoding goes
// on with the byte after it ("100%+sure" is "100% sure").
std::string UrlDecode(std::string_view text);

// The installation's files hold ISO-8859-1; machine clients speak UTF-8.
// Each byte as the character of that code.
std::string Latin1ToUtf8(std::string_view text);
// The text of well-formed UTF-8 in ISO-8859-1 into `out`; false at the first character that
// ISO-8859-1 cannot hold (its code in `refused`) or at a byte that is not UTF-8 (`refused`
// then 0xFFFD), leaving `out` partial.
bool Utf8ToLatin1(std::string_view text, std::string& out, unsigned long& refused);

}  // namespace base
