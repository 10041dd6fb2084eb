#include "tests/serve/http_client.h"
#include "platform/scratch.h"
#include "tests/support/programs.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace docmill::servetest {

std::string quoted(const std::string& word) {
  return test::shellQuoted(word);
}

std::string shell(const std::string& command) {
  return test::runShell(command).text;
}

HttpResult curl(const std::string& url, const std::vector<std::string>& args) {
  const platform::TempFile bodyFile(platform::systemTempFolder(), "serve-test-body-");
  const platform::TempFile headerFile(platform::systemTempFolder(), "serve-test-head-");
  const std::string& bodyName = bodyFile.path();
  const std::string& headerName = headerFile.path();
  std::string command = "curl -s -o " + quoted(bodyName) + " -D " + quoted(headerName) +
                        " -w '%{http_code}' --max-time 60";
  for (const auto& a : args) command += " " + quoted(a);
  command += " " + quoted(url);
  HttpResult r;
  r.status = std::atoi(shell(command).c_str());
  std::ifstream body(bodyName, std::ios::binary);
  std::stringstream s;
  s << body.rdbuf();
  r.body = s.str();
  std::ifstream headers(headerName);
  std::string line;
  while (std::getline(headers, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  return r;
}

RawClient::RawClient(uint16_t port, const std::string& from) {
  namespace ip = boost::asio::ip;
  socket_.open(ip::tcp::v4());
  socket_.bind({ip::make_address(from), 0});
  timeval limit{60, 0};
  ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  socket_.connect({ip::make_address("127.0.0.1"), port});
}

bool RawClient::send(const std::string& bytes) {
  boost::system::error_code ec;
  boost::asio::write(socket_, boost::asio::buffer(bytes), ec);
  return !ec;
}

std::string RawClient::readToEnd() {
  std::string answer;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(socket_.native_handle(), buffer, sizeof buffer, 0);
    if (n <= 0) return answer;
    answer.append(buffer, static_cast<size_t>(n));
  }
}

bool RawClient::closedByServer() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(socket_.native_handle(), buffer, sizeof buffer, 0);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

void RawClient::close() {
  boost::system::error_code ec;
  socket_.close(ec);
}

int statusOf(const std::string& answer) {
  if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.substr(9, 3).c_str());
}

std::string formRequest(const std::string& path, const std::string& fileName,
                        const std::string& content, const std::string& headers) {
  const std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"files\"; filename=\"" +
                           fileName + "\"\r\n\r\n" + content + "\r\n--XyZ--\r\n";
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
         "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace docmill::servetest
