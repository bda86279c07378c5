#include "gallery/url_parser.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace gf {
namespace {

// Width of the image-host prefix in the addresses the landmark parse was made
// for: "https://" + a 16-character host + "/images/img/".
constexpr int32_t kPrefixWidth = 36;

// Longer padded numbers would make file names no host uses.
constexpr int32_t kMaxPaddedWidth = 9;
constexpr size_t kMaxExtensionLetters = 16;
// Most file systems take no longer name.
constexpr size_t kMaxComponentBytes = 255;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }

Text LowerAscii(std::string_view s) {
  Text out(s);
  std::transform(out.begin(), out.end(), out.begin(), FoldAscii);
  return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && LowerAscii(s.substr(0, prefix.size())) == prefix;
}

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = FoldAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

Text PercentDecode(std::string_view s) {
  Text out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      const char decoded = static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      // A decoded zero byte would end the text early; keep it encoded.
      if (decoded != '\0') {
        out += decoded;
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// Offset of the last occurrence of any of the needles in s; npos when none.
size_t LastOfAny(std::string_view s, std::initializer_list<std::string_view> needles) {
  size_t last = std::string_view::npos;
  for (std::string_view needle : needles) {
    const size_t at = s.rfind(needle);
    if (at != std::string_view::npos && (last == std::string_view::npos || at > last)) last = at;
  }
  return last;
}

// Offset of the last "http://" or "https://" in s, letter case ignored.
size_t LastHttpAddress(std::string_view s) {
  return LastOfAny(LowerAscii(s), {"http://", "https://"});
}

// Stem and extension from a sample file name: the part before its first "."
// and "." + the part between its first and second ".".
void SplitFileName(GalleryParts& parts, const Text& fileName) {
  const TextArray nameParts = TextSplit(fileName, ".");
  parts.hasNameParts = TextArrayCount(nameParts) >= 2;
  if (TextArrayCount(nameParts) >= 1) parts.fileName = nameParts.members[0];
  if (TextArrayCount(nameParts) >= 2) parts.extension = TextJoin({".", nameParts.members[1]});
}

}  // namespace

GalleryParts LandmarkParse(const Text& address, const GalleryGlobals& before) {
  GalleryParts parts{before.baseUrl, before.galleryId, before.fileName, before.extension};
  Text working = address;
  const int32_t eq = TextFind(working, "=", 1, true);
  const int32_t j = TextFind(working, "j", 1, true);
  // The third argument is a length, not an end position; for the expected
  // address it reaches past the end, leaving everything after the "=".
  working = TextMiddle(working, TruncateToInt(eq + 1.0), TruncateToInt(j + 2.0));
  parts.baseUrl = TextMiddle(working, 1, kPrefixWidth);
  const int32_t j2 = TextFind(working, "j", 1, true);
  // Byte 36 is the prefix's last "/", so the tail begins with "/".
  const Text tail = TextMiddle(working, kPrefixWidth, TruncateToInt(j2 + 2.0));
  const TextArray members = TextSplit(tail, "/");
  const int32_t n = TextArrayCount(members);
  if (n >= 2) parts.galleryId = members.members[1];
  if (n >= 3) parts.fileName = members.members[2];
  parts.nameFromAddress = n >= 3;
  SplitFileName(parts, parts.fileName);
  return parts;
}

GalleryParts StructuralParse(const Text& address) {
  GalleryParts parts;
  Text text = address;
  size_t start = LastHttpAddress(text);
  // An image address passed percent-encoded in a query value: decode from
  // there when it comes after every plain one (the viewer's own address).
  const size_t encoded = LastOfAny(LowerAscii(text), {"http%3a%2f%2f", "https%3a%2f%2f"});
  if (encoded != Text::npos && (start == Text::npos || encoded > start)) {
    text = PercentDecode(std::string_view(text).substr(encoded));
    start = LastHttpAddress(text);
  }
  if (start == Text::npos) return parts;
  std::string_view image = std::string_view(text).substr(start);
  const size_t hostStart = image.find("://") + 3;
  const size_t end = image.find_first_of("?#&", hostStart);
  if (end != std::string_view::npos) image = image.substr(0, end);

  const size_t pathStart = image.find('/', hostStart);
  if (pathStart == std::string_view::npos) return parts;
  const size_t fileSlash = image.rfind('/');
  if (fileSlash == pathStart) return parts;  // a file name but no gallery folder
  const size_t gallerySlash = image.rfind('/', fileSlash - 1);

  parts.baseUrl = Text(image.substr(0, gallerySlash + 1));
  parts.galleryId = Text(image.substr(gallerySlash + 1, fileSlash - gallerySlash - 1));
  parts.nameFromAddress = true;
  SplitFileName(parts, Text(image.substr(fileSlash + 1)));
  return parts;
}

bool IsSafePathComponent(std::string_view name, CharRule rule) {
  if (name.empty() || name.size() > kMaxComponentBytes || name == "." || name == "..") {
    return false;
  }
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
    if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  if (rule == CharRule::DoubleByte) {
    size_t i = 0;
    while (i < name.size()) i += static_cast<unsigned char>(name[i]) >= 0x80 ? 2 : 1;
    if (i > name.size()) return false;  // the last byte is a lone lead byte
  }

  // Windows opens a device for these names whatever extension follows.
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const Text lower = LowerAscii(base);
  static constexpr std::array<std::string_view, 4> kDevices = {"con", "prn", "aux", "nul"};
  if (std::find(kDevices.begin(), kDevices.end(), lower) != kDevices.end()) return false;
  if (lower.size() == 4 && (lower.compare(0, 3, "com") == 0 || lower.compare(0, 3, "lpt") == 0) &&
      lower[3] >= '1' && lower[3] <= '9') {
    return false;
  }
  return true;
}

Text ImageNumber(int32_t number, int32_t width) {
  Text digits = ToText(number);
  if (static_cast<int32_t>(digits.size()) < width) {
    digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  }
  return digits;
}

int32_t PaddedWidth(std::string_view stem) {
  if (stem.size() < 2 || stem[0] != '0') return 0;
  if (!std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  return static_cast<int32_t>(stem.size());
}

Text CheckParts(const GalleryParts& parts) {
  if (!parts.nameFromAddress) {
    return "the address holds no image address with a gallery folder and a file name";
  }
  if (!parts.hasNameParts) return "the image file name \"" + parts.fileName + "\" has no extension";

  const std::string_view prefix = parts.baseUrl;
  const size_t schemeEnd = StartsWithNoCase(prefix, "https://")  ? 8
                           : StartsWithNoCase(prefix, "http://") ? 7
                                                                 : 0;
  if (schemeEnd == 0) return "the image address does not start with http:// or https://";
  if (prefix.size() <= schemeEnd || prefix[schemeEnd] == '/' || prefix.back() != '/') {
    return "the image address \"" + parts.baseUrl + "\" has no host and folder";
  }
  if (!IsSafePathComponent(parts.galleryId)) {
    return "the gallery number \"" + parts.galleryId + "\" cannot name a folder";
  }
  const std::string_view ext = parts.extension;
  if (ext.size() < 2 || ext.size() > kMaxExtensionLetters + 1 || ext[0] != '.' ||
      !std::all_of(ext.begin() + 1, ext.end(), IsAsciiAlnum)) {
    return "the file extension \"" + parts.extension + "\" is not 1 to 16 letters or digits";
  }
  if (PaddedWidth(parts.fileName) > kMaxPaddedWidth) {
    return "the image number \"" + parts.fileName + "\" has too many digits";
  }
  return Text();
}

ParseResult ParseGalleryUrl(GalleryGlobals& globals, const Text& address) {
  ParseResult result;
  GalleryParts parts = LandmarkParse(address, globals);
  if (!CheckParts(parts).empty()) {
    parts = StructuralParse(address);
    result.method = ParseMethod::Structural;
    result.reason = CheckParts(parts);
    if (!result.reason.empty()) return result;
  }
  globals.baseUrl = parts.baseUrl;
  globals.galleryId = parts.galleryId;
  globals.fileName = parts.fileName;
  globals.extension = parts.extension;
  result.usable = true;
  result.numberWidth = PaddedWidth(parts.fileName);
  return result;
}

}  // namespace gf
