#include "gallery/url_parser.h"

#include <gtest/gtest.h>

#include <tuple>

namespace gf {

void PrintTo(const GalleryGlobals& g, std::ostream* os) {
  *os << "{baseUrl=\"" << g.baseUrl << "\", galleryId=\"" << g.galleryId << "\", fileName=\""
      << g.fileName << "\", extension=\"" << g.extension << "\"}";
}

namespace {

const Text kViewer = "https://gallery.example/img.html?img=";
const Text kHost = "https://img.example.test/images/img/";  // the 36-byte prefix

const GalleryGlobals kFresh{};
// What a complete run of the default address leaves behind.
const GalleryGlobals kAfterRun{kHost, "20103", "13.jpg", ".jpg"};

struct Case {
  const char* what;
  GalleryGlobals before;
  Text address;
  // What the landmark parse yields (the four texts), and whether its sample
  // file name had both the stem and the extension part.
  GalleryGlobals landmark;
  bool landmarkNameParts;
  // The outcome: usable or not, and by which parse.
  bool usable;
  ParseMethod method;
  GalleryGlobals after;  // the globals afterwards; unchanged when not usable
};

constexpr ParseMethod kLandmark = ParseMethod::Landmark;
constexpr ParseMethod kStructural = ParseMethod::Structural;

TEST(ParseGalleryUrl, Table) {
  const Case cases[] = {
      {"the default address",
       kFresh,
       kViewer + kHost + "20103/1.jpg",
       {kHost, "20103", "1", ".jpg"},
       true,
       true,
       kLandmark,
       {kHost, "20103", "1", ".jpg"}},
      {"an upper-case J",
       kFresh,
       kViewer + kHost + "20103/1.JPG",
       {kHost, "20103", "1", ".JPG"},
       true,
       true,
       kLandmark,
       {kHost, "20103", "1", ".JPG"}},
      {".jpeg",
       kFresh,
       kViewer + kHost + "20103/1.jpeg",
       {kHost, "20103", "1", ".jpeg"},
       true,
       true,
       kLandmark,
       {kHost, "20103", "1", ".jpeg"}},
      {"two dots in the name",
       kFresh,
       kViewer + kHost + "20103/1.x.jpg",
       {kHost, "20103", "1", ".x"},
       true,
       true,
       kLandmark,
       {kHost, "20103", "1", ".x"}},
      {"a query after the image: cut off by the fallback",
       kFresh,
       kViewer + kHost + "20103/1.jpg?x=1",
       {kHost, "20103", "1", ".jpg?x=1"},
       true,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"an empty stem",
       kFresh,
       kViewer + kHost + "20103/.jpg",
       {kHost, "20103", "", ".jpg"},
       true,
       true,
       kLandmark,
       {kHost, "20103", "", ".jpg"}},
      {"a sub-folder: the landmark parse finds no extension",
       kFresh,
       kViewer + kHost + "20103/sub/1.jpg",
       {kHost, "20103", "sub", ""},
       false,
       true,
       kStructural,
       {kHost + "20103/", "sub", "1", ".jpg"}},
      {"no gallery folder, first run",
       kFresh,
       kViewer + kHost + "1.jpg",
       {kHost, "1.jpg", "", ""},
       false,
       true,
       kStructural,
       {"https://img.example.test/images/", "img", "1", ".jpg"}},
      {"no gallery folder after a run: the old name is not taken",
       kAfterRun,
       kViewer + kHost + "1.jpg",
       {kHost, "1.jpg", "13", ".jpg"},
       true,
       true,
       kStructural,
       {"https://img.example.test/images/", "img", "1", ".jpg"}},
      {"a 15-character image host",
       kFresh,
       kViewer + "https://img.exampl.test/images/img/20103/1.jpg",
       {"https://img.exampl.test/images/img/2", "1.jpg", "", ""},
       false,
       true,
       kStructural,
       {"https://img.exampl.test/images/img/", "20103", "1", ".jpg"}},
      {"a 17-character image host",
       kFresh,
       kViewer + "https://img2.example.test/images/img/20103/1.jpg",
       {"https://img2.example.test/images/img", "20103", "1", ".jpg"},
       true,
       true,
       kStructural,
       {"https://img2.example.test/images/img/", "20103", "1", ".jpg"}},
      {"the image address alone (no \"=\")",
       kFresh,
       kHost + "20103/1.jpg",
       {"", "", "", ""},
       false,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"no \"=\" after a run",
       kAfterRun,
       kHost + "20103/1.jpg",
       {"", "20103", "13", ".jpg"},
       true,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"a .png gallery (no \"j\")",
       kFresh,
       kViewer + kHost + "20103/1.png",
       {"h", "", "", ""},
       false,
       true,
       kStructural,
       {kHost, "20103", "1", ".png"}},
      {"a \"j\" in the viewer host",
       kFresh,
       "https://jallery.example/img.html?img=" + kHost + "20103/1.jpg",
       {"https://img", "", "", ""},
       false,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"\"=\" as the last byte",
       kAfterRun,
       kViewer,
       {"", "20103", "13", ".jpg"},
       true,
       false,
       kStructural,
       kAfterRun},
      {"an empty text",
       kAfterRun,
       "",
       {"", "20103", "13", ".jpg"},
       true,
       false,
       kStructural,
       kAfterRun},
      {"an empty text, first run", kFresh, "", {"", "", "", ""}, false, false, kStructural, kFresh},
      {"several query values",
       kFresh,
       "https://gallery.example/img.html?id=5&img=" + kHost + "20103/1.jpg",
       {"5&img=https://img.example.test/image", "img", "20103", ""},
       false,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"a percent-encoded image address",
       kFresh,
       kViewer + "https%3A%2F%2Fimg.example.test%2Fimages%2Fimg%2F20103%2F1.jpg",
       {"https%3A%2F%2Fimg.example.test%2Fima", "", "", ""},
       false,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"a trailing &page=2",
       kFresh,
       kViewer + kHost + "20103/1.jpg&page=2",
       {kHost, "20103", "1", ".jpg&page=2"},
       true,
       true,
       kStructural,
       {kHost, "20103", "1", ".jpg"}},
      {"a zero-padded number",
       kFresh,
       kViewer + kHost + "20103/001.jpg",
       {kHost, "20103", "001", ".jpg"},
       true,
       true,
       kLandmark,
       {kHost, "20103", "001", ".jpg"}},
      {"%2e%2e stays a literal folder name",
       kFresh,
       kViewer + kHost + "%2e%2e/1.jpg",
       {kHost, "%2e%2e", "1", ".jpg"},
       true,
       true,
       kLandmark,
       {kHost, "%2e%2e", "1", ".jpg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const GalleryParts landmark = LandmarkParse(c.address, c.before);
    EXPECT_EQ((GalleryGlobals{landmark.baseUrl, landmark.galleryId, landmark.fileName,
                              landmark.extension}),
              c.landmark);
    EXPECT_EQ(landmark.hasNameParts, c.landmarkNameParts);

    GalleryGlobals globals = c.before;
    const ParseResult result = ParseGalleryUrl(globals, c.address);
    EXPECT_EQ(result.usable, c.usable) << result.reason;
    EXPECT_EQ(result.usable, result.reason.empty());
    if (c.usable) {
      EXPECT_EQ(result.method, c.method);
    }
    EXPECT_EQ(globals, c.after);
  }
}

TEST(ParseGalleryUrl, PaddedNumbersAreRemembered) {
  const std::pair<const char*, int32_t> cases[] = {
      {"001.jpg", 3}, {"1.jpg", 0}, {"0.jpg", 0}, {"0100.jpg", 4}, {"01a.jpg", 0},
  };
  for (const auto& [name, width] : cases) {
    GalleryGlobals globals;
    const ParseResult result = ParseGalleryUrl(globals, kViewer + kHost + "20103/" + name);
    ASSERT_TRUE(result.usable) << name << ": " << result.reason;
    EXPECT_EQ(result.numberWidth, width) << name;
  }
  GalleryGlobals globals;
  EXPECT_FALSE(ParseGalleryUrl(globals, kViewer + kHost + "20103/0000000000001.jpg").usable);
}

// Nothing a pasted address holds may lead the program to write outside its
// gallery folder, whichever parse looks at it.
TEST(ParseGalleryUrl, HostileAddressesAreNotUsable) {
  const Text cases[] = {
      kViewer + kHost + "../1.jpg",
      kViewer + kHost + "..\\..\\x/1.jpg",
      kViewer + kHost + "a:b/1.jpg",
      kViewer + kHost + "CON/1.jpg",
      kViewer + kHost + "nul.txt/1.jpg",
      kViewer + kHost + "lpt1/1.jpg",
      kViewer + kHost + "abc./1.jpg",
      kViewer + kHost + "abc /1.jpg",
      kViewer + kHost + "a\tb/1.jpg",
      kViewer + kHost + "a*b/1.jpg",
      kViewer + kHost + "/1.jpg",                     // empty gallery number
      kViewer + kHost + "20103/1.j\\..",              // extension with separators
      kViewer + kHost + "20103/1.",                   // no extension letters
      kViewer + kHost + "20103/1.abcdefghijklmnopq",  // 17 letters
      kViewer + "https%3A%2F%2Fimg.example.test%2Fimages%2Fimg%2F%2e%2e%2F1.jpg",
      kViewer + "ftp://img.example.test/images/img/20103/1.jpg",
      kViewer + "https:///20103/1.jpg",
      kViewer + "https://img.example.test/1.jpg",  // no gallery folder at all
      "just some words",
  };
  for (const Text& address : cases) {
    GalleryGlobals globals = kAfterRun;
    const ParseResult result = ParseGalleryUrl(globals, address);
    EXPECT_FALSE(result.usable) << address << " gave gallery \"" << globals.galleryId << "\"";
    EXPECT_FALSE(result.reason.empty()) << address;
    EXPECT_EQ(globals, kAfterRun) << address;
  }
}

TEST(IsSafePathComponent, Table) {
  const std::pair<const char*, bool> cases[] = {
      {"20103", true}, {"a b", true},       {"%2e%2e", true}, {"con2", true},      {"com0", true},
      {"", false},     {".", false},        {"..", false},    {"a/b", false},      {"a\\b", false},
      {"a:b", false},  {"a?b", false},      {"a\"b", false},  {"a<b", false},      {"a>b", false},
      {"a|b", false},  {"a\x01", false},    {"a\x7f", false}, {"x.", false},       {"x ", false},
      {"CON", false},  {"con.txt", false},  {"Prn", false},   {"AUX", false},      {"NUL", false},
      {"COM1", false}, {"com9.log", false}, {"LPT9", false},  {"nul .txt", false},
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(IsSafePathComponent(name), safe) << name;
  // A trailing lead byte would swallow the separator that follows it.
  const std::tuple<const char*, CharRule, bool> ruled[] = {
      {"..\x81", CharRule::DoubleByte, false},     {"abc\x81", CharRule::DoubleByte, false},
      {"abc\xB1\xED", CharRule::DoubleByte, true}, {"\xB1\xEDx", CharRule::DoubleByte, true},
      {"abc\x81", CharRule::Utf8, true},
  };
  for (const auto& [name, rule, safe] : ruled) {
    EXPECT_EQ(IsSafePathComponent(name, rule), safe) << name << " rule " << static_cast<int>(rule);
  }
  EXPECT_FALSE(IsSafePathComponent(std::string(256, 'a')));
  EXPECT_TRUE(IsSafePathComponent(std::string(255, 'a')));
}

}  // namespace
}  // namespace gf
