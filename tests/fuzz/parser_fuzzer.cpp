// Feeds arbitrary bytes to the address parser, as the address and as what an
// earlier run left in the globals, and checks that whatever it accepts can
// only name files inside the gallery folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gallery/url_parser.h"

namespace {

[[noreturn]] void Fail(const char* what, const gf::GalleryGlobals& g) {
  std::fprintf(stderr, "%s\n  baseUrl=%s\n  galleryId=%s\n  extension=%s\n", what,
               g.baseUrl.c_str(), g.galleryId.c_str(), g.extension.c_str());
  std::abort();
}

// Texts hold no zero byte; the program never sees one in an address.
std::string Take(const uint8_t*& data, size_t& size, size_t n) {
  n = std::min(n, size);
  std::string out(reinterpret_cast<const char*>(data), n);
  data += n;
  size -= n;
  for (char& c : out) {
    if (c == '\0') c = '/';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t idLength = data[0] % 16;
  const size_t nameLength = data[1] % 32;
  data += 2;
  size -= 2;
  gf::GalleryGlobals before;
  before.galleryId = Take(data, size, idLength);
  before.fileName = Take(data, size, nameLength);
  before.extension = ".jpg";
  const std::string address = Take(data, size, size);

  gf::GalleryGlobals globals = before;
  const gf::ParseResult result = gf::ParseGalleryUrl(globals, address);
  if (!result.usable) {
    if (!(globals == before)) Fail("an unusable address changed the globals", globals);
    return 0;
  }
  if (!result.reason.empty()) Fail("a usable result with a reason", globals);
  if (!gf::IsSafePathComponent(globals.galleryId)) Fail("unsafe gallery number", globals);

  // Every name the run could make; the digit count is all that varies.
  const std::filesystem::path out = "/out";
  const std::filesystem::path folder = (out / globals.galleryId).lexically_normal();
  if (folder.parent_path() != out) Fail("gallery folder outside the output directory", globals);
  for (const int32_t n : {1, 9, 10, 99, 100, 999, 1000, 9999}) {
    const std::string name = gf::ImageNumber(n, result.numberWidth) + globals.extension;
    if (!gf::IsSafePathComponent(name)) Fail("unsafe file name", globals);
    const std::filesystem::path file = (folder / name).lexically_normal();
    if (file.parent_path() != folder) Fail("image outside the gallery folder", globals);
  }
  return 0;
}
