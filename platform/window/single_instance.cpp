#include "platform/window/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/system/wide_text.h"
#include "platform/window/window_system.h"

namespace {

constexpr int kReplyTimeoutMs = 2000;
constexpr std::size_t kMaxRequest = 1024;

// A private folder for the socket: the runtime folder, else one of our own
// under /tmp that nobody else can own or redirect.
std::string SocketFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
  const std::string folder = "/tmp/melodex-" + std::to_string(getuid());
  mkdir(folder.c_str(), 0700);
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
  return folder;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

int ConnectTo(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One line, without its newline, waiting at most timeoutMs for it.
bool ReadLine(int fd, std::string* line, int timeoutMs) {
  line->clear();
  while (line->size() < kMaxRequest) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c;
    const ssize_t n = recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    *line += c;
  }
  return false;
}

// Sends one request to the instance at path and reads its answer.
bool Ask(const std::string& path, const std::string& request) {
  Fd fd(ConnectTo(path));
  if (fd.fd < 0 || !WriteAll(fd.fd, request + "\n")) return false;
  std::string reply;
  return ReadLine(fd.fd, &reply, kReplyTimeoutMs) && reply == "OK";
}

class Listener {
 public:
  Listener(HWND hwnd, std::string path, std::string title, int socketFd, ino_t inode)
      : hwnd_(hwnd), path_(std::move(path)), title_(std::move(title)), socket_(socketFd), inode_(inode) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) stopPipe_[0] = stopPipe_[1] = -1;
    thread_ = std::thread([this] { Run(); });
  }

  ~Listener() {
    if (stopPipe_[1] >= 0) {
      const char c = 0;
      (void)!write(stopPipe_[1], &c, 1);
    }
    thread_.join();
    // Remove the socket file only if it is still ours.
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) unlink(path_.c_str());
    for (int fd : stopPipe_) {
      if (fd >= 0) close(fd);
    }
  }

 private:
  void Run() {
    for (;;) {
      pollfd fds[2] = {{socket_.fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      const int ready = poll(fds, stopPipe_[0] >= 0 ? 2 : 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (fds[1].revents & POLLIN)) return;
      if (!(fds[0].revents & POLLIN)) continue;
      Fd client(accept4(socket_.fd, nullptr, nullptr, SOCK_CLOEXEC));
      if (client.fd >= 0) Serve(client.fd);
    }
  }

  void Serve(int fd) {
    std::string request;
    if (!ReadLine(fd, &request, kReplyTimeoutMs)) return;
    WriteAll(fd, Handle(request) ? "OK\n" : "NO\n");
  }

  bool Handle(const std::string& request) {
    if (request == "FIND") return true;
    if (request.rfind("FIND ", 0) == 0) return request.substr(5) == title_;
    if (request == "RAISE") return PostMessageW(hwnd_, kShowAndRaiseMessage, 0, 0);
    std::istringstream words(request);
    std::string verb;
    unsigned long long message = 0, wParam = 0;
    long long lParam = 0;
    if (words >> verb >> message >> wParam >> lParam && verb == "POST" && (words >> std::ws).eof() &&
        message <= 0xFFFFFFFFull && message != kShowAndRaiseMessage) {
      return PostMessageW(hwnd_, static_cast<UINT>(message), static_cast<WPARAM>(wParam),
                          static_cast<LPARAM>(lParam));
    }
    return false;
  }

  HWND hwnd_;
  std::string path_;
  std::string title_;
  Fd socket_;
  ino_t inode_;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
};

std::mutex g_mutex;
std::map<HWND, std::unique_ptr<Listener>> g_listeners;
std::map<std::string, HWND> g_listenerByPath;
std::map<HWND, std::string> g_proxies;
std::uintptr_t g_nextProxy = 0x7E000000;

// Binds the socket, taking over a file left by a process that died.
int BindListening(const std::string& path, ino_t* inode) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return -1;
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.fd < 0) return -1;
  if (bind(fd.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno != EADDRINUSE) return -1;
    if (const int live = ConnectTo(path); live >= 0) {
      close(live);  // another instance answers: it keeps the socket
      return -1;
    }
    unlink(path.c_str());
    if (bind(fd.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return -1;
  }
  if (listen(fd.fd, 8) != 0) return -1;
  struct stat st {};
  stat(path.c_str(), &st);
  *inode = st.st_ino;
  const int result = fd.fd;
  fd.fd = -1;
  return result;
}

std::string ProxyPath(HWND proxy) {
  std::lock_guard lock(g_mutex);
  const auto it = g_proxies.find(proxy);
  return it == g_proxies.end() ? std::string() : it->second;
}

}  // namespace

std::string InstanceSocketPath(const std::wstring& className) {
  const std::string folder = SocketFolder();
  if (folder.empty()) return {};
  std::string name;
  for (const char c : WideToUtf8(className)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.';
    name += plain ? c : '_';
  }
  return folder + "/melodex-" + name + ".sock";
}

void StartInstanceListener(HWND hwnd, const std::wstring& className, const std::wstring& title) {
  const std::string path = InstanceSocketPath(className);
  std::lock_guard lock(g_mutex);
  if (path.empty() || g_listenerByPath.count(path)) return;
  ino_t inode = 0;
  const int fd = BindListening(path, &inode);
  if (fd < 0) return;
  g_listeners[hwnd] = std::make_unique<Listener>(hwnd, path, WideToUtf8(title), fd, inode);
  g_listenerByPath[path] = hwnd;
}

void StopInstanceListener(HWND hwnd) {
  std::unique_ptr<Listener> listener;
  {
    std::lock_guard lock(g_mutex);
    const auto it = g_listeners.find(hwnd);
    if (it == g_listeners.end()) return;
    listener = std::move(it->second);
    g_listeners.erase(it);
    for (auto p = g_listenerByPath.begin(); p != g_listenerByPath.end(); ++p) {
      if (p->second == hwnd) {
        g_listenerByPath.erase(p);
        break;
      }
    }
  }
}

HWND FindInstance(const std::wstring& className, const std::wstring& title) {
  const std::string path = InstanceSocketPath(className);
  if (path.empty()) return nullptr;
  if (!Ask(path, title.empty() ? "FIND" : "FIND " + WideToUtf8(title))) return nullptr;
  std::lock_guard lock(g_mutex);
  const HWND proxy = reinterpret_cast<HWND>(g_nextProxy);
  g_nextProxy += 0x10;
  g_proxies[proxy] = path;
  return proxy;
}

bool IsInstanceProxy(HWND hwnd) {
  std::lock_guard lock(g_mutex);
  return g_proxies.count(hwnd) != 0;
}

bool PostToInstance(HWND proxy, UINT message, WPARAM wParam, LPARAM lParam) {
  const std::string path = ProxyPath(proxy);
  if (path.empty()) return false;
  return Ask(path, "POST " + std::to_string(message) + " " + std::to_string(wParam) + " " + std::to_string(lParam));
}

bool RaiseInstance(HWND proxy) {
  const std::string path = ProxyPath(proxy);
  return !path.empty() && Ask(path, "RAISE");
}
