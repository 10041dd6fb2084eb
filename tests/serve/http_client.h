// Requests for the service tests: curl for ordinary ones (what clients run), and a raw
// socket for clients that misbehave.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

namespace docmill::servetest {

struct HttpResult {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Runs curl with `args` (each passed as one word) and the URL.
HttpResult curl(const std::string& url, const std::vector<std::string>& args = {});

// Runs `command` through the shell; returns its standard output.
std::string shell(const std::string& command);

// A quoted shell word.
std::string quoted(const std::string& word);

// A client on a plain socket, for what curl does not do: stop half-way, go away without
// reading the answer, come from another loopback address. A read waits 60 seconds at most,
// so a server that never answers fails the test instead of hanging it.
class RawClient {
 public:
  // Connects to `port` on 127.0.0.1 from the loopback address `from`.
  explicit RawClient(uint16_t port, const std::string& from = "127.0.0.1");
  // False when the connection is gone.
  bool send(const std::string& bytes);
  // What the server sends until it closes the connection (or the limit passes).
  std::string readToEnd();
  // Whether the server has closed the connection (waiting for that up to the limit).
  bool closedByServer();
  void close();

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_{io_};
};

// The status of a raw HTTP answer ("HTTP/1.1 403 ..." gives 403); 0 when there is none.
int statusOf(const std::string& answer);

// A whole multipart/form-data POST to `path` with one file part, and `headers` (lines
// ending in CRLF) added to its head.
std::string formRequest(const std::string& path, const std::string& fileName,
                        const std::string& content, const std::string& headers = "");

}  // namespace docmill::servetest
