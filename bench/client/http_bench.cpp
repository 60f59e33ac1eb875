// Round trip of one identification-sized POST (180096 bytes up, a short text
// reply down) to a server on 127.0.0.1: HTTPHandler against the curl
// command-line tool making the same requests in one run. The tool's figure
// is its own time per transfer (-w %{time_total}), without its start-up.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/http_handler.h"
#include "platform/phone/fake_connection_manager.h"
#include "platform/system/paths.h"

namespace {

constexpr std::size_t kBodyBytes = 180096;
constexpr int kRounds = 40;
constexpr const char* kReply =
    "Melodex reply\n<ALBUM>An Album</ALBUM><ARTIST>An Artist</ARTIST><TRACK_TITLE>A Song</TRACK_TITLE>"
    "<ALBUM_ART>null</ALBUM_ART><WALLPAPER>null</WALLPAPER><RINGER>null</RINGER>"
    "<SMS_MESSAGE>null</SMS_MESSAGE><RECOMMEND>null</RECOMMEND><FULL_SONG>null</FULL_SONG>";

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Seconds(std::chrono::steady_clock::duration span) { return std::chrono::duration<double>(span).count(); }

}  // namespace

int main() {
  httplib::Server server;
  server.set_keep_alive_max_count(1);
  server.Post("/servlet/QuaverId", [](const httplib::Request& request, httplib::Response& response) {
    if (request.body.size() != kBodyBytes) response.status = 400;
    response.set_content(kReply, "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const std::string url =
      "http://127.0.0.1:" + std::to_string(port) + "/servlet/QuaverId?id=1017&ownerIdentifier=2422";
  std::string body(kBodyBytes, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7919 >> 5);
  const std::filesystem::path bodyFile = std::filesystem::temp_directory_path() / "melodex-http-bench.bin";
  std::ofstream(bodyFile, std::ios::binary) << body;

  // No settings file and a connection manager that answers at once: only HTTP is timed.
  SetSettingsFile((std::filesystem::temp_directory_path() / "melodex-http-bench-none.toml").string());
  FakeConnectionManager connections;
  SetConnectionBackend(&connections);

  std::vector<double> handler;
  int failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    {
      HTTPHandler request(nullptr);
      const bool ok = request.openSession() == 0 &&
                      request.httpPost(url.c_str(), reinterpret_cast<const BYTE*>(body.data()), kBodyBytes) == 0 &&
                      request.replyLength() == std::char_traits<char>::length(kReply);
      failures += ok ? 0 : 1;
    }
    handler.push_back(Seconds(std::chrono::steady_clock::now() - start));
  }

  // The tool makes the same rounds in one process, each on a new connection
  // (the server closes every connection after its reply), as the handler does.
  std::string command = "curl -s -w '%{http_code} %{time_total}\\n' -X POST -H 'Content-Type:' -H 'Expect:' "
                        "-A WindowsMobile-Melodex-0.9 --data-binary @" + bodyFile.string();
  for (int round = 0; round < kRounds; ++round) command += " -o /dev/null '" + url + "'";
  std::vector<double> tool;
  const auto toolStart = std::chrono::steady_clock::now();
  if (FILE* pipe = popen(command.c_str(), "r")) {
    int status = 0;
    double total = 0;
    while (std::fscanf(pipe, "%d %lf", &status, &total) == 2) {
      if (status == 200) tool.push_back(total);
      else ++failures;
    }
    pclose(pipe);
  }
  const double toolWall = Seconds(std::chrono::steady_clock::now() - toolStart);
  server.stop();
  serving.join();
  std::filesystem::remove(bodyFile);
  SetConnectionBackend(nullptr);

  if (tool.size() != kRounds || failures) {
    std::printf("http round trip: %d of %d requests failed (is curl installed?)\n", failures, 2 * kRounds);
    return 1;
  }
  const double mine = Median(handler) * 1000;
  const double theirs = Median(tool) * 1000;
  std::printf("POST of %zu bytes and its reply over 127.0.0.1, median of %d rounds\n", kBodyBytes, kRounds);
  std::printf("  HTTPHandler (session, request, reply, clean-up): %8.3f ms\n", mine);
  std::printf("  curl tool, its own transfer time:                %8.3f ms\n", theirs);
  std::printf("  curl tool, whole run of %d rounds with start-up: %8.3f ms\n", kRounds, toolWall * 1000);
  std::printf("  ratio HTTPHandler / curl tool transfer:          %8.2f\n", mine / theirs);
  return 0;
}
