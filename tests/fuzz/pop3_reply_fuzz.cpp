// Arbitrary bytes as a POP3 multi-line reply, fed in pieces of arbitrary sizes: the reader
// ends at the same place however the bytes are split, never reads past them, and undoes dot
// transparency so that stuffing the body again gives back the bytes received. The listing
// and subject readers take any text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/pop3.h"

namespace {

struct Result {
  bool done;
  std::string status, body, rest;
};

Result Read(std::string_view bytes, char line_end, size_t step) {
  mail::MultilineReply reply(line_end);
  size_t pos = 0;
  bool done = false;
  while (!done && pos < bytes.size()) {
    size_t n = step == 0 ? bytes.size() : step;
    done = reply.Feed(bytes.substr(pos, n));
    pos += n;
  }
  std::string rest = reply.TakeRest();
  if (pos < bytes.size()) rest += bytes.substr(pos);
  return {done, std::string(reply.Status()), reply.Body(), rest};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  char line_end = (data[0] & 1) ? '\r' : '\n';
  size_t step = data[1] % 17;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  Result whole = Read(bytes, line_end, 0);
  Result pieces = Read(bytes, line_end, step);
  if (whole.done != pieces.done || whole.status != pieces.status || whole.body != pieces.body ||
      whole.rest != pieces.rest)
    std::abort();
  if (whole.done && !bytes.starts_with(whole.status)) std::abort();
  if (whole.done && whole.status.size() + whole.rest.size() > bytes.size()) std::abort();
  if (!whole.done && !whole.rest.empty()) std::abort();

  mail::ParseListing(bytes);
  if (auto subject = mail::FindSynchSubject(bytes)) {
    if (subject->first.find('/') != std::string::npos ||
        subject->first.find("..") != std::string::npos ||
        subject->second.find('/') != std::string::npos)
      std::abort();
  }
  mail::IsEndOfMultiline(bytes, line_end);
  return 0;
}
