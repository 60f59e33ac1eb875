// The real melodex-server on a loopback port, serving a small catalogue of
// generated songs (each with a cover.jpg beside it), for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class CatalogueServer {
 public:
  struct Song {
    std::string artist, title;
    unsigned seed;
  };

  // Writes the songs, indexes them and starts serving; started() tells
  // whether the server answers. The folder goes with the object.
  CatalogueServer(const std::filesystem::path& folder, const std::vector<Song>& songs);
  ~CatalogueServer();
  CatalogueServer(const CatalogueServer&) = delete;
  CatalogueServer& operator=(const CatalogueServer&) = delete;

  bool started() const { return m_pid > 0; }
  std::string endpoint() const;
  std::filesystem::path songFile(const Song& song) const;
  std::string accessLog() const;

 private:
  std::filesystem::path m_folder;
  int m_port = 0;
  pid_t m_pid = 0;
};

// The first 20 seconds of the generated song of that seed as a WAV file.
void WriteSong(const std::filesystem::path& path, unsigned seed);
