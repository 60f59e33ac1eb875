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
    std::string artist;
    std::string title;
    unsigned seed;
  };

  // Writes the songs, indexes them and starts serving; started() tells
  // whether the server answers.
  CatalogueServer(const std::filesystem::path& folder, const std::vector<Song>& songs);
  ~CatalogueServer();
  CatalogueServer(const CatalogueServer&) = delete;
  CatalogueServer& operator=(const CatalogueServer&) = delete;

  bool started() const { return m_child > 0; }
  std::string endpoint() const;
  // The sound file of a catalogue song.
  std::filesystem::path songFile(const Song& song) const;
  // A generated song of that seed that is not in the catalogue.
  std::filesystem::path writeOutsider(unsigned seed) const;
  // The server's access log so far.
  std::string accessLog() const;

 private:
  std::filesystem::path m_folder;
  int m_port = 0;
  pid_t m_child = 0;
};

// The first 20 seconds of the generated song of that seed as a WAV file.
void WriteSong(const std::filesystem::path& path, unsigned seed);
