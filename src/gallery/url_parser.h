// Taking a gallery viewer address apart into the pieces from which every image
// address and file name of a run is built.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/text.h"

namespace gf {

// The program's four global texts. They keep their values from one run to the
// next; a parse overwrites them only when it succeeds.
struct GalleryGlobals {
  Text baseUrl;    // the image-host prefix, e.g. "https://host/images/img/"
  Text galleryId;  // the gallery number, e.g. "20103"
  Text fileName;   // after a parse the sample's stem; during a run the current file name
  Text extension;  // "." and the sample's extension, e.g. ".jpg"

  friend bool operator==(const GalleryGlobals&, const GalleryGlobals&) = default;
};

enum class ParseMethod {
  // The landmark parse: first "=", first "j", a 36-byte prefix.
  Landmark,
  // The fallback: the last http(s) address in the text, cut at its path segments.
  Structural,
};

struct ParseResult {
  bool usable = false;
  ParseMethod method = ParseMethod::Landmark;
  // An image number written out, zero-padded to width (0: not padded).
  Text ImageNumber(int32_t number, int32_t width);

  // Width of a zero-padded sample number ("001" gives 3); 0 when not padded.
  int32_t numberWidth = 0;
  // Why the address is not usable (for the command line); empty when usable.
  Text reason;
};

// Parses address. When the result is usable, globals holds the new prefix,
// gallery number, stem and extension; otherwise globals is left exactly as it
// was. Never ends the program.
ParseResult ParseGalleryUrl(GalleryGlobals& globals, const Text& address);

// The parts of a parse, without touching any globals.
struct GalleryParts {
  Text baseUrl;
  Text galleryId;
  Text fileName;
  Text extension;
  // False when the sample file name is one left from an earlier run rather
  // than one this address holds.
  bool nameFromAddress = false;
  // False when the sample file name lacked the stem or the extension part.
  bool hasNameParts = false;
};

// The landmark parse on its own, starting from the earlier values in before
// (exactly as the program has always cut addresses; a gallery number or file
// name the address does not yield is kept from before).
GalleryParts LandmarkParse(const Text& address, const GalleryGlobals& before);

// The structural parse on its own; nameFromAddress is false when no image
// address with a gallery folder and a file name was found.
GalleryParts StructuralParse(const Text& address);

// Empty when parts can be used for a run, else the reason they cannot.
Text CheckParts(const GalleryParts& parts);

// An image number written out, zero-padded to width (0: not padded).
Text ImageNumber(int32_t number, int32_t width);

// Width of a zero-padded sample number ("001" gives 3); 0 when stem is not one.
int32_t PaddedWidth(std::string_view stem);

// True for a text that can safely name one folder or file inside another on
// both Windows and Linux. Under the double-byte rule a name may not end in a
// lead byte, which would take the separator after it as its second byte.
bool IsSafePathComponent(std::string_view name, CharRule rule = kPlatformCharRule);

}  // namespace gf
