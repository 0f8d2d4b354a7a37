// pavo_image_service: a small image-of-the-day service for loopback.
//
// It answers the metadata request
//     GET <any prefix>/HPImageArchive.aspx?format=js&idx=0&n=1
// with a JSON text whose "url" names the day's picture, and serves the
// pictures of a folder as <any prefix>/images/<name>. The day's picture is the
// file named after today's date (yyyymmdd.jpg) when there is one, otherwise
// the first JPEG file by name.
//
// A path that begins with /mode/<mode> makes the answer misbehave; the rest of
// the path is served as usual, so a base URL such as
// http://127.0.0.1:PORT/mode/404 makes the metadata and the picture requests
// misbehave alike. See Usage() for the modes.
//
// Every request line, with its headers, goes to standard error as it comes
// in, one block per request ended by an empty line. The chosen port is the
// first line on standard output. The service stops on SIGTERM or SIGINT, and
// by itself after its maximum lifetime.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Options {
  std::string address = "127.0.0.1";
  int port = 0;
  std::string folder = ".";
  int max_lifetime = 600;
};

void Usage(std::FILE* out) {
  std::fputs(
      "usage: pavo_image_service [--address A] [--port P] [--folder DIR] [--max-lifetime S]\n"
      "  --address A        address to bind (default 127.0.0.1)\n"
      "  --port P           port; 0 picks a free one (default 0); printed on start\n"
      "  --folder DIR       folder of JPEG pictures (default .)\n"
      "  --max-lifetime S   stop by itself after S seconds (default 600)\n"
      "\n"
      "Misbehaviour by path prefix /mode/<mode>/...; /mode/picture-<mode>/... makes only\n"
      "the picture's answer misbehave and the metadata come whole:\n"
      "  404, 500           that status with an HTML page\n"
      "  status-<n>         the usual answer with status n\n"
      "  empty              status 200 with an empty body\n"
      "  pad-<n>            the usual answer padded to n bytes (spaces, or NULs after a picture)\n"
      "  hang               accept the request and never answer\n"
      "  trickle            the usual body, one byte a second\n"
      "  stall              declare the whole length, send half, then silence\n"
      "  cut                declare the whole length, send half, close\n"
      "  cut-nolength       neither length nor chunks: send half, close\n"
      "  cut-chunked        chunked, send half, close without the last chunk\n"
      "  cut-mid-chunk      chunked, one chunk announced whole, half of it sent, close\n"
      "  chunked            the usual body, chunked (no length declared), properly ended\n"
      "  endless            a chunked body that never ends\n"
      "  endless-declared   a body of 1 TiB declared, sent for as long as it is read\n"
      "  redirect           302 to the same request without the mode prefix\n"
      "  redirect-loop      302 to the very same request, forever\n"
      "  redirect-scheme    302 to the file: URL of <folder>/redirected\n"
      "  redirects-<n>      n redirects (302) in a row, then the usual answer\n"
      "  slow-redirects-<n> the same, each answer after a pause of 1 s\n"
      "  late-<s>           the usual answer, its headers only after s seconds\n"
      "  together-<n>       each answer held until n requests of this mode came (at most\n"
      "                     30 s; else status 504)\n"
      "  nomarker           metadata without the url field\n"
      "  amp-before         metadata with \"&\" only before the url field\n"
      "  charset-<name>     the usual body as text/plain; charset=<name>\n",
      out);
}

// ---- stopping --------------------------------------------------------------

std::mutex g_stop_mutex;
std::condition_variable g_stop_cv;
bool g_stopping = false;

bool Stopping() {
  std::lock_guard<std::mutex> lock(g_stop_mutex);
  return g_stopping;
}

// Sleeps for d unless the service stops first; false when it stops.
bool Pause(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(g_stop_mutex);
  return !g_stop_cv.wait_for(lock, d, [] { return g_stopping; });
}

// Counts a request of mode and waits until n of them came (false: they did
// not within 30 s, or the service stops).
bool Together(const std::string& mode, int n) {
  static std::map<std::string, int> came;
  std::unique_lock<std::mutex> lock(g_stop_mutex);
  ++came[mode];
  g_stop_cv.notify_all();
  return g_stop_cv.wait_for(lock, std::chrono::seconds(30), [&] { return g_stopping || came[mode] >= n; }) &&
         !g_stopping;
}

// ---- the request log -------------------------------------------------------

std::mutex g_log_mutex;

const auto g_started = std::chrono::steady_clock::now();

// The request line comes after the time it came in, in seconds since the
// service started: "[12.345] GET /x HTTP/1.1".
void LogRequest(const httplib::Request& req) {
  char at[32];
  std::snprintf(at, sizeof at, "[%.3f] ",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - g_started).count());
  std::string block = at + req.method + " " + req.target + " " + req.version + "\n";
  for (const auto& [name, value] : req.headers) {
    // The library adds the peer's addresses as if they were headers.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
    block += name + ": " + value + "\n";
  }
  block += "\n";
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fwrite(block.data(), 1, block.size(), stderr);
  std::fflush(stderr);
}

// What an endless answer sent before its connection ended, as a block of its
// own: "[12.345] SENT 1048576".
void LogSent(std::uint64_t bytes) {
  char line[64];
  std::snprintf(line, sizeof line, "[%.3f] SENT %llu\n\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - g_started).count(),
                static_cast<unsigned long long>(bytes));
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fputs(line, stderr);
  std::fflush(stderr);
}

// One more block of an endless answer, counted once the client took it.
bool SendBlock(httplib::DataSink& sink, std::uint64_t& sent) {
  static const std::string block(64 * 1024, 'x');
  if (Stopping() || !sink.write(block.data(), block.size())) return false;
  sent += block.size();
  return true;
}

// ---- content ---------------------------------------------------------------

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsJpegName(const std::string& name) {
  std::string l = Lower(name);
  return EndsWith(l, ".jpg") || EndsWith(l, ".jpeg");
}

std::string Today() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

// The day's picture: today's file when the folder has it, else the first
// JPEG file by name; "" when there is none.
std::string DayPicture(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    std::error_code ec2;
    if (e.is_regular_file(ec2) && IsJpegName(e.path().filename().string())) {
      names.push_back(e.path().filename().string());
    }
  }
  if (names.empty()) return "";
  std::sort(names.begin(), names.end());
  std::string today = Today() + ".jpg";
  if (std::find(names.begin(), names.end(), today) != names.end()) return today;
  return names.front();
}

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

// A name that stays inside the folder.
bool SafeName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

const char kTitle[] = "Pavo 每日一图";

struct Resource {
  int status = 200;
  std::string body;
  std::string type;
};

Resource Metadata(const std::string& folder, const std::string& mode) {
  std::string name = DayPicture(folder);
  if (name.empty()) return {404, "no pictures in the folder\n", "text/plain; charset=utf-8"};
  std::string date = name.size() == 12 && std::all_of(name.begin(), name.begin() + 8, ::isdigit) ? name.substr(0, 8)
                                                                                                 : Today();
  std::string json;
  if (mode == "nomarker") {
    json = R"({"images":[{"startdate":")" + date + R"(","link":"/images/)" + name + R"(","title":")" + kTitle +
           R"("}]})";
  } else if (mode == "amp-before") {
    json = R"({"images":[{"copyright":"Sea & Sky","startdate":")" + date + R"(","url":"/images/)" + name +
           R"(","title":")" + kTitle + R"("}]})";
  } else {
    json = R"({"images":[{"startdate":")" + date + R"(","url":"/images/)" + name + "&rf=" + name +
           R"(&pid=hp","title":")" + kTitle + R"("}]})";
  }
  return {200, json, "application/json; charset=utf-8"};
}

Resource Picture(const std::string& folder, std::string name) {
  name = name.substr(0, name.find('&'));
  std::string body;
  if (!SafeName(name) || !ReadFile(folder + "/" + name, body)) {
    return {404, "no such picture\n", "text/plain; charset=utf-8"};
  }
  return {200, body, IsJpegName(name) ? "image/jpeg" : "application/octet-stream"};
}

Resource Lookup(const std::string& folder, const std::string& path, const std::string& mode) {
  if (EndsWith(path, "/HPImageArchive.aspx")) return Metadata(folder, mode);
  auto at = path.rfind("/images/");
  if (at != std::string::npos) return Picture(folder, path.substr(at + 8));
  return {404, "not found\n", "text/plain; charset=utf-8"};
}

std::string ErrorPage(int status, const char* reason) {
  std::string s = std::to_string(status);
  return "<!DOCTYPE html>\n<html><head><title>" + s + " " + reason + "</title></head><body><h1>" + s + " " +
         reason + "</h1><p>The image service could not serve this request.</p></body></html>\n";
}

// ---- answers that come late, after redirects or cut inside a chunk ---------

// The number after prefix in mode, or -1 when mode is not prefix<number>.
int ModeNumber(const std::string& mode, const std::string& prefix) {
  if (mode.rfind(prefix, 0) != 0 || mode.size() == prefix.size() || mode.size() > prefix.size() + 9) return -1;
  const std::string digits = mode.substr(prefix.size());
  if (!std::all_of(digits.begin(), digits.end(), ::isdigit)) return -1;
  return std::stoi(digits);
}

// Answers a redirect of the redirect modes (true), or lets the usual answer
// go on (false) after any pause the mode asks for. target: the request
// without its mode prefix.
bool HandleTimingMode(const std::string& mode, const std::string& target, httplib::Response& res) {
  if (const int s = ModeNumber(mode, "late-"); s >= 0) {
    Pause(std::chrono::seconds(s));
    return false;
  }
  if (const int n = ModeNumber(mode, "together-"); n >= 0 && !Together(mode, n)) {
    res.status = 504;
    res.set_content("the other requests did not come", "text/plain");
    return true;
  }
  int left = ModeNumber(mode, "redirects-");
  const bool slow = left < 0;
  if (slow) left = ModeNumber(mode, "slow-redirects-");
  if (left < 0) return false;
  if (slow) Pause(std::chrono::seconds(1));
  if (left == 0) return false;
  res.status = 302;
  res.set_header("Location", "/mode/" + std::string(slow ? "slow-" : "") + "redirects-" + std::to_string(left - 1) +
                                 target);
  res.set_content("", "text/plain");
  return true;
}

// The body modes of this block (true when mode is one of them); see Usage().
bool HandleBodyMode(const std::string& mode, const std::shared_ptr<Resource>& r, httplib::Response& res) {
  if (mode == "cut-mid-chunk") {
    res.set_header("Transfer-Encoding", "chunked");
    res.set_content_provider(r->type, [r](size_t offset, httplib::DataSink& sink) {
      if (offset > 0) return false;
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", r->body.size());
      const std::string head(size);
      if (sink.write(head.data(), head.size())) sink.write(r->body.data(), r->body.size() / 2);
      return false;
    });
    return true;
  }
  if (mode == "endless-declared") {
    // 1 TiB declared, and bytes for as long as the client reads.
    auto sent = std::make_shared<std::uint64_t>(0);
    res.set_content_provider(
        size_t{1} << 40, r->type,
        [sent](size_t, size_t, httplib::DataSink& sink) { return SendBlock(sink, *sent); },
        [sent](bool) { LogSent(*sent); });
    return true;
  }
  if (mode == "chunked") {
    res.set_chunked_content_provider(r->type, [r](size_t offset, httplib::DataSink& sink) {
      if (offset < r->body.size() && !sink.write(r->body.data() + offset, r->body.size() - offset)) return false;
      sink.done();
      return true;
    });
    return true;
  }
  return false;
}

void Handle(const Options& opt, const httplib::Request& req, httplib::Response& res) {
  // The mode, and the request as it would be without the mode prefix.
  std::string mode;
  std::string path = req.path;
  std::string target = req.target;
  if (path.rfind("/mode/", 0) == 0) {
    auto slash = path.find('/', 6);
    mode = path.substr(6, slash == std::string::npos ? std::string::npos : slash - 6);
    path = slash == std::string::npos ? "/" : path.substr(slash);
    std::string prefix = "/mode/" + mode;
    target = target.rfind(prefix, 0) == 0 ? target.substr(prefix.size()) : target;
    if (target.empty() || target[0] != '/') target = "/" + target;
  }
  if (mode.rfind("picture-", 0) == 0) mode = EndsWith(path, "/HPImageArchive.aspx") ? "" : mode.substr(8);

  if (HandleTimingMode(mode, target, res)) return;

  if (mode == "404" || mode == "500") {
    int status = mode == "404" ? 404 : 500;
    res.status = status;
    res.set_content(ErrorPage(status, status == 404 ? "Not Found" : "Internal Server Error"),
                    "text/html; charset=utf-8");
    return;
  }
  if (mode == "redirect" || mode == "redirect-loop" || mode == "redirect-scheme") {
    res.status = 302;
    res.set_header("Location", mode == "redirect"        ? target
                               : mode == "redirect-loop" ? req.target
                                                         : "file://" + fs::absolute(opt.folder).string() + "/redirected");
    res.set_content("", "text/plain");
    return;
  }
  if (mode == "hang") {
    // The connection stays open and silent until the client gives up (or the
    // service stops); then whatever is sent goes nowhere.
    Pause(std::chrono::seconds(120));
    res.status = 503;
    return;
  }

  auto r = std::make_shared<Resource>(Lookup(opt.folder, path, mode));
  res.status = r->status;
  // The metadata may be kept for a day: only a client that asks anew each
  // time sees the next day's.
  if (EndsWith(path, "/HPImageArchive.aspx")) res.set_header("Cache-Control", "public, max-age=86400");
  if (mode.rfind("charset-", 0) == 0) r->type = "text/plain; charset=" + mode.substr(8);
  if (const int n = ModeNumber(mode, "status-"); n >= 100 && n <= 999 && r->status == 200) res.status = n;
  if (const int n = ModeNumber(mode, "pad-"); n > static_cast<int>(r->body.size()))
    r->body.append(n - r->body.size(), r->type == "image/jpeg" ? '\0' : ' ');

  if (HandleBodyMode(mode, r, res)) return;

  const std::size_t half = r->body.size() / 2;
  if (mode == "empty") {
    res.set_content("", r->type);
  } else if (mode == "trickle") {
    res.set_content_provider(r->body.size(), r->type, [r](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset > 0 && !Pause(std::chrono::seconds(1))) return false;
      return sink.write(r->body.data() + offset, 1);
    });
  } else if (mode == "cut" || mode == "stall") {
    // The full length is promised, half of it comes, then the connection
    // closes, or stays silent until the client gives up.
    const bool stall = mode == "stall";
    res.set_content_provider(r->body.size(), r->type, [r, half, stall](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset < half) return sink.write(r->body.data() + offset, half - offset);
      if (stall) Pause(std::chrono::seconds(120));
      return false;
    });
  } else if (mode == "cut-nolength") {
    // No length and no chunks: the body ends where the connection does.
    res.set_content_provider(r->type, [r, half](size_t offset, httplib::DataSink& sink) {
      return offset < half && sink.write(r->body.data() + offset, half - offset);
    });
  } else if (mode == "cut-chunked") {
    res.set_chunked_content_provider(r->type, [r, half](size_t offset, httplib::DataSink& sink) {
      return offset < half && sink.write(r->body.data() + offset, half - offset);
    });
  } else if (mode == "endless") {
    auto sent = std::make_shared<std::uint64_t>(0);
    res.set_chunked_content_provider(
        r->type, [sent](size_t, httplib::DataSink& sink) { return SendBlock(sink, *sent); },
        [sent](bool) { LogSent(*sent); });
  } else {
    res.set_content(r->body, r->type);
  }
}

bool ParseInt(const char* s, int& out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!*s || *end || v < 0 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--address" && has_value) {
      opt.address = argv[++i];
    } else if (a == "--port" && has_value && ParseInt(argv[i + 1], opt.port)) {
      ++i;
    } else if (a == "--folder" && has_value) {
      opt.folder = argv[++i];
    } else if (a == "--max-lifetime" && has_value && ParseInt(argv[i + 1], opt.max_lifetime)) {
      ++i;
    } else {
      std::fprintf(stderr, "pavo_image_service: bad argument %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }

  // Only the watcher thread below takes the stop signals; every thread made
  // from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  // Hanging and trickling requests each hold a worker; keep plenty.
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  server.set_keep_alive_timeout(2);
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    LogRequest(req);
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Get(".*", [&opt](const httplib::Request& req, httplib::Response& res) { Handle(opt, req, res); });

  int port = opt.port;
  if (port == 0) {
    port = server.bind_to_any_port(opt.address);
    if (port <= 0) {
      std::fprintf(stderr, "pavo_image_service: cannot bind %s\n", opt.address.c_str());
      return 1;
    }
  } else if (!server.bind_to_port(opt.address, port)) {
    std::fprintf(stderr, "pavo_image_service: cannot bind %s:%d\n", opt.address.c_str(), port);
    return 1;
  }
  std::printf("%d\n", port);
  std::fflush(stdout);

  std::thread watcher([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(opt.max_lifetime);
    for (;;) {
      auto left = end - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds(0)) break;
      auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
      timespec ts{static_cast<time_t>(s.count()), static_cast<long>((left - s).count())};
      int sig = sigtimedwait(&stop_signals, nullptr, &ts);
      if (sig == SIGTERM || sig == SIGINT) break;
    }
    {
      std::lock_guard<std::mutex> lock(g_stop_mutex);
      g_stopping = true;
    }
    g_stop_cv.notify_all();
    server.stop();
  });

  bool clean = server.listen_after_bind() || Stopping();
  // Connections still open, and the watcher, go with the process; nothing
  // waits for them.
  std::fflush(stderr);
  std::_Exit(clean ? 0 : 1);
}
