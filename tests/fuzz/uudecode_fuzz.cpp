// Arbitrary bytes as a stored synchronisation message and as one encoded line. Decoding never
// fails or writes outside its folder; any bytes encode into lines that decode back to them;
// the file of a message built from the encoder comes back byte for byte.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "sync/encoding.h"

namespace {

namespace fs = std::filesystem;

const std::string& Folder() {
  static const std::string folder = [] {
    fs::path p = fs::temp_directory_path() / ("uudecode-fuzz-" + std::to_string(getpid()));
    fs::create_directories(p / "work");
    return (p / "work").string();
  }();
  return folder;
}

// Decodes `bytes` as a stored message kept beside the work folder's parent.
synch::DecodedMessage Decode(std::string_view bytes, const std::string& folder) {
  static const std::string stored = fs::path(folder).parent_path().string() + ".message";
  std::ofstream(stored, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
  return synch::DecodeSynchFile(stored, folder).value();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string& folder = Folder();

  synch::DecodedMessage m = Decode(bytes, folder);
  if (!m.path.empty()) {
    if (fs::path(m.path).parent_path() != fs::path(folder)) std::abort();
    fs::remove(m.path);
  }
  // Nothing may appear beside the work folder.
  for (const auto& entry : fs::directory_iterator(fs::path(folder).parent_path()))
    if (entry.path() != fs::path(folder)) std::abort();

  synch::DecodeLine(bytes.substr(0, bytes.find('\n')));

  // The encoder's lines decode back to the bytes, and a whole message to the whole file.
  std::string message = "+OK\r\nSubject: x\r\n\r\nfiletype: b 1 h \r\n\r\nbegin 0666 f\r\n";
  for (size_t i = 0; i < size; i += synch::kEncodedLineBytes) {
    std::string_view part = bytes.substr(i, synch::kEncodedLineBytes);
    std::string line = synch::EncodeLine(part);
    if (synch::DecodeLine(line) != part) std::abort();
    message += line + "\r\n";
  }
  message += "`\r\nend\r\n";
  synch::DecodedMessage whole = Decode(message, folder);
  if (!whole.complete || whole.header.kind != 1 || ReadAll(whole.path) != bytes) std::abort();
  fs::remove(whole.path);
  return 0;
}
