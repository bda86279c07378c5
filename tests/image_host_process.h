// Starts the local image host (tools/image-host) for one test and stops it
// when the test ends. The host binary's path comes from the environment
// variable GALLERYFETCH_IMAGE_HOST, which tests/CMakeLists.txt sets.
#pragma once

#include <string>
#include <vector>

namespace gf::testing_support {

class ImageHost {
 public:
  // Starts the host with these extra options (e.g. {"--count", "12"}) on a
  // free port of 127.0.0.1 and waits until it listens. ok() tells whether it did.
  explicit ImageHost(const std::vector<std::string>& options);
  ~ImageHost();
  ImageHost(const ImageHost&) = delete;
  ImageHost& operator=(const ImageHost&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https with --https).
  std::string origin() const;
  // Lines of the request log ("GET /images/img/20103/1.jpg 200").
  std::vector<std::string> RequestLog() const;

 private:
  int port_ = 0;
  bool https_ = false;
  std::string workDir_;  // holds the port file and the request log
  long long process_ = 0;  // pid (Linux) or process handle (Windows)
};

}  // namespace gf::testing_support
