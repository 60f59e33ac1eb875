#include "tests/e2e/catalogue_server.h"

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/server/pictures.h"
#include "tests/server/synth.h"
#include "tests/support/headless_app.h"
#include "tests/support/http_test_server.h"

namespace fs = std::filesystem;
namespace synth = melodex::server::test;

namespace {

constexpr double kSongSeconds = 20.0;

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

}  // namespace

void WriteSong(const fs::path& path, unsigned seed) {
  synth::writeFile(path.string(), synth::wavFile(synth::melody(seed, kSongSeconds), 8000));
}

CatalogueServer::CatalogueServer(const fs::path& folder, const std::vector<Song>& songs) : m_folder(folder) {
  fs::create_directories(m_folder / "music");
  for (const Song& song : songs) {
    const fs::path album = songFile(song).parent_path();
    fs::create_directories(album);
    WriteSong(songFile(song), song.seed);
    synth::writeFile((album / "cover.jpg").string(), synth::makeJpeg(200, 200));
  }
  const std::string db = Quoted(m_folder / "db");
  if (!Run(std::string(MELODEX_SERVER_EXE) + " --db " + db + " index " + Quoted(m_folder / "music") +
           " >/dev/null 2>&1"))
    return;

  m_port = ClosedPort();
  const std::string listen = "127.0.0.1:" + std::to_string(m_port);
  const std::string log = (m_folder / "access.log").string();
  const std::string dbPath = (m_folder / "db").string();
  m_child = fork();
  if (m_child == 0) {
    if (!freopen(log.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    execl(MELODEX_SERVER_EXE, MELODEX_SERVER_EXE, "--db", dbPath.c_str(), "serve", "--listen", listen.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  httplib::Client client("127.0.0.1", m_port);
  for (int i = 0; i < 200; ++i) {
    if (auto reply = client.Get("/health"); reply && reply->status == 200) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  kill(m_child, SIGKILL);
  waitpid(m_child, nullptr, 0);
  m_child = 0;
}

CatalogueServer::~CatalogueServer() {
  if (m_child > 0) {
    kill(m_child, SIGTERM);
    waitpid(m_child, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove_all(m_folder, ignored);
}

std::string CatalogueServer::endpoint() const {
  return "http://127.0.0.1:" + std::to_string(m_port) + "/servlet/QuaverId";
}

fs::path CatalogueServer::songFile(const Song& song) const {
  return m_folder / "music" / song.artist / (song.artist + " - " + song.title + ".wav");
}

fs::path CatalogueServer::writeOutsider(unsigned seed) const {
  const fs::path path = m_folder / ("outsider-" + std::to_string(seed) + ".wav");
  WriteSong(path, seed);
  return path;
}

std::string CatalogueServer::accessLog() const { return ReadFile(m_folder / "access.log"); }
