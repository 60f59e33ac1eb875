#include "tests/e2e/catalogue_server.h"

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "tests/server/pictures.h"
#include "tests/server/synth.h"
#include "tests/support/headless_app.h"
#include "tests/support/http_test_server.h"

namespace fs = std::filesystem;
namespace synth = melodex::server::test;

void WriteSong(const fs::path& path, unsigned seed) {
  synth::writeFile(path.string(), synth::wavFile(synth::melody(seed, 20.0), 8000));
}

CatalogueServer::CatalogueServer(const fs::path& folder, const std::vector<Song>& songs) : m_folder(folder) {
  for (const Song& song : songs) {
    fs::create_directories(songFile(song).parent_path());
    WriteSong(songFile(song), song.seed);
    synth::writeFile((songFile(song).parent_path() / "cover.jpg").string(), synth::makeJpeg(200, 200));
  }
  const std::string server = std::string(MELODEX_SERVER_EXE) + " --db '" + (m_folder / "db").string() + "' ";
  if (std::system((server + "index '" + (m_folder / "music").string() + "' >/dev/null 2>&1").c_str()) != 0) return;
  m_port = ClosedPort();
  const std::string pid = (m_folder / "pid").string();
  std::system((server + "serve --listen 127.0.0.1:" + std::to_string(m_port) + " >'" +
               (m_folder / "access.log").string() + "' 2>/dev/null & echo $! >'" + pid + "'")
                  .c_str());
  m_pid = std::atoi(ReadFile(pid).c_str());
  httplib::Client client("127.0.0.1", m_port);
  for (int i = 0; i < 200; ++i) {
    if (auto reply = client.Get("/health"); reply && reply->status == 200) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  kill(m_pid, SIGKILL);
  m_pid = 0;
}

CatalogueServer::~CatalogueServer() {
  if (m_pid > 0) kill(m_pid, SIGTERM);
  std::error_code ignored;
  fs::remove_all(m_folder, ignored);
}

std::string CatalogueServer::endpoint() const {
  return "http://127.0.0.1:" + std::to_string(m_port) + "/servlet/QuaverId";
}

fs::path CatalogueServer::songFile(const Song& song) const {
  return m_folder / "music" / song.artist / (song.artist + " - " + song.title + ".wav");
}

std::string CatalogueServer::accessLog() const { return ReadFile(m_folder / "access.log"); }
