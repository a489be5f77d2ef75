// The reference service's HTTP/1.1 server on Boost.Asio: one event loop run
// by a few threads, one request per connection, the connection closed after
// the reply. A connection waits for its peer without holding a thread, so a
// slow or silent client costs a socket and a timer and nothing more.
//
// A connection goes through these phases, each with its limit:
//   head    the request head, whole within --head-timeout of the accept
//   body    a form or an upload, whole within --body-timeout for every
//           started MiB it declares, and never --idle-timeout without a byte
//   work    the operation (operations.cpp), on the connection's strand
//   reply   sent without ever waiting --idle-timeout for the peer to read
//   linger  the sending side closed, what the peer still sends read and
//           dropped until it closes, so that closing does not reset the
//           connection under a reply it has not read yet
// A request that misses its head or body deadline is answered 408. Beyond
// --max-connections, a connection is answered 503 at once and lingers like
// any other, so that the peer reads the refusal instead of a reset.
//
// Map of this file:
//   Server   - the listener, the connection count, signals and the stop
//   Session  - one connection through its phases, and the access log
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/service/exchange.h"

namespace vesk::service_tool {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::seconds;

// After the reply, how long the peer may stay silent before the connection
// is closed.
constexpr Seconds kLingerIdle{2};
// What the linger reads at most (a refused upload still arrives whole).
constexpr uint64_t kLingerBytes = kMaxBodyBytes + (1 << 20);
// How long a stop waits for the open connections.
constexpr Seconds kStopWait{10};

class Session;

class Server {
 public:
  Server(asio::io_context& io, Store& store, const ServeOptions& options)
      : io_(io),
        strand_(asio::make_strand(io)),
        acceptor_(strand_),
        signals_(strand_, SIGINT, SIGTERM),
        retry_(strand_),
        context_(store, options) {}

  // Binds and listens; false (with the reason on standard error) when it
  // cannot. Prints the listening line.
  bool Listen();
  void Run();

  Context& context() { return context_; }
  const ServeOptions& options() const { return context_.options; }
  void Log(const std::string& line);
  void Register(const std::shared_ptr<Session>& session);
  void Unregister(Session* session, bool served);

 private:
  void Accept();
  void Stop();

  asio::io_context& io_;
  asio::strand<asio::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer retry_;
  Context context_;
  bool stopping_ = false;
  bool acceptFailing_ = false;

  std::mutex sessionsLock_;
  std::map<Session*, std::weak_ptr<Session>> sessions_;
  size_t served_ = 0;  // connections counted against the limit
  std::mutex logLock_;
};

// The access log's time stamp: UTC with milliseconds,
// "2026-12-05T21:09:29.042Z".
std::string LogTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const int millis =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                           now.time_since_epoch())
                           .count() %
                       1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, millis);
  return text;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server& server, tcp::socket socket, bool served)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        served_(served),
        exchange_(server.context()) {}
  ~Session() {
    // A reply that never finished (the service stopped under it) counts as
    // not sent.
    Report(false);
    server_.Unregister(this, served_);
  }

  void Start() {
    server_.Register(shared_from_this());
    boost::system::error_code ec;
    const tcp::endpoint peer = socket_.remote_endpoint(ec);
    peer_ = ec ? "?" : peer.address().to_string();
    lastMove_ = Clock::now();
    if (!served_) {
      exchange_.Refuse(503, kInternal, "too many connections");
      Send();
      return;
    }
    Phase(Seconds(server_.options().headTimeout));
    ReadHead();
  }

  // The service stops: every wait of this connection ends now.
  void Abort() {
    aborted_ = true;
    boost::system::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.cancel(ec);
    timer_.cancel();
  }

  tcp::socket::executor_type executor() { return socket_.get_executor(); }

 private:
  // ---- Limits

  // A new phase with its own deadline (from now); the idle limit counts
  // from the phase's start, then from the last byte that moved. (Counted
  // from a byte of the phase before, a 408 sent right after a missed
  // deadline would find its idle limit due already, and the reply that went
  // out whole would be cut off or logged as unsent.)
  void Phase(Clock::duration limit, Clock::duration idle = Clock::duration{}) {
    const auto now = Clock::now();
    deadline_ = now + limit;
    lastMove_ = now;
    idle_ = idle != Clock::duration{} ? idle
                                      : Seconds(server_.options().idleTimeout);
    expired_ = false;
    Arm();
  }

  void Arm() {
    timer_.expires_at(std::min(deadline_, lastMove_ + idle_));
    timer_.async_wait(
        [self = shared_from_this()](const boost::system::error_code& ec) {
          if (ec == asio::error::operation_aborted || self->closed_) return;
          const auto now = Clock::now();
          if (now >= self->deadline_ || now >= self->lastMove_ + self->idle_) {
            // The pending read or send ends with operation_aborted and
            // finds expired_.
            self->expired_ = true;
            boost::system::error_code ignored;
            self->socket_.cancel(ignored);
          } else {
            self->Arm();  // bytes moved since: wait on
          }
        });
  }

  void Moved(size_t bytes) {
    if (bytes > 0) lastMove_ = Clock::now();
  }

  // How long a body of that many bytes may take.
  Clock::duration BodyLimit(uint64_t bytes) const {
    const uint64_t mebibytes =
        std::max<uint64_t>(1, (bytes + (1 << 20) - 1) >> 20);
    return Seconds(server_.options().bodyTimeout) *
           static_cast<int64_t>(std::min<uint64_t>(mebibytes, 1 << 20));
  }

  // ---- Head

  void ReadHead() {
    socket_.async_read_some(
        asio::buffer(chunk_),
        [self = shared_from_this()](const boost::system::error_code& ec,
                                    size_t got) { self->OnHead(ec, got); });
  }

  void OnHead(const boost::system::error_code& ec, size_t got) {
    Moved(got);
    if (expired_) {
      return TimedOut("request head not complete in time");
    }
    if (ec || got == 0) {
      if (data_.empty() || aborted_) return Close();
      exchange_.Refuse(400, kMalformed, "request head ends early");
      return Send();
    }
    data_.append(chunk_.data(), got);
    const HeadResult parsed = ParseHead(data_, head_);
    switch (parsed.status) {
      case HeadStatus::kIncomplete:
        return ReadHead();
      case HeadStatus::kRefused:
        exchange_.Refuse(parsed.refusal, kMalformed, parsed.reason);
        return Send();
      case HeadStatus::kComplete:
        hasHead_ = true;
        data_.erase(0, parsed.headLength);
        return Route();
    }
  }

  void Route() {
    switch (BodyOf(head_)) {
      case BodyKind::kNone:
        return Run(std::string());
      case BodyKind::kForm:
        if (!head_.hasContentLength) {
          if (data_.empty()) return Run(std::string());
          exchange_.Refuse(411, kMalformed, "Content-Length required");
          return Send();
        }
        if (head_.contentLength > kMaxFormBytes) {
          exchange_.Refuse(413, kMalformed, "form body too large");
          return Send();
        }
        Phase(BodyLimit(head_.contentLength));
        return ReadForm();
      case BodyKind::kUpload:
        if (!Guarded([&] { save_ = SaveRequest::Begin(exchange_, head_); }) ||
            !save_) {
          return Send();
        }
        Phase(BodyLimit(head_.contentLength));
        return Upload(std::move(data_));
    }
  }

  // ---- Body

  void ReadForm() {
    const size_t length = static_cast<size_t>(head_.contentLength);
    if (data_.size() >= length) {
      data_.resize(length);
      return Run(std::move(data_));
    }
    socket_.async_read_some(
        asio::buffer(chunk_),
        [self = shared_from_this()](const boost::system::error_code& ec,
                                    size_t got) {
          self->Moved(got);
          if (self->expired_) {
            return self->TimedOut("request body not complete in time");
          }
          if (ec || got == 0) {
            if (self->aborted_) return self->Close();
            self->exchange_.Refuse(400, kMalformed,
                                   "body shorter than its Content-Length");
            return self->Send();
          }
          self->data_.append(self->chunk_.data(), got);
          self->ReadForm();
        });
  }

  // Feeds the bytes to the save and reads on until its body is complete or
  // it is refused.
  void Upload(std::string bytes) {
    bool going = true;
    if (!Guarded([&] { going = save_->Feed(bytes); })) return Send();
    if (!going || save_->Left() == 0) return EndUpload();
    if (block_.size() < kStreamBlock) block_.resize(kStreamBlock);
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(block_.size(), save_->Left()));
    socket_.async_read_some(
        asio::buffer(block_.data(), want),
        [self = shared_from_this()](const boost::system::error_code& ec,
                                    size_t got) {
          self->Moved(got);
          if (self->expired_) {
            self->save_.reset();
            return self->TimedOut("request body not complete in time");
          }
          if (ec || got == 0) {
            if (self->aborted_) return self->Close();
            return self->EndUpload();
          }
          self->Upload(std::string(self->block_.data(), got));
        });
  }

  void EndUpload() {
    Guarded([&] { save_->End(exchange_); });
    save_.reset();
    Send();
  }

  // ---- Work

  // Runs the work; an exception becomes a 500 (unless a reply was decided
  // already) and a line in the log. False after an exception.
  template <typename Work>
  bool Guarded(Work&& work) {
    try {
      work();
      return true;
    } catch (const std::exception& problem) {
      server_.Log(LogTime() + " " + peer_ + " error: " + problem.what());
      if (!exchange_.Replied()) {
        exchange_.Refuse(500, kInternal, "internal error");
      }
      return false;
    }
  }

  void Run(const std::string& body) {
    Guarded([&] { Dispatch(exchange_, head_, body); });
    Send();
  }

  // Nothing was decided yet in the head and body phases.
  void TimedOut(const char* why) {
    timedOut_ = true;
    exchange_.Refuse(408, kMalformed, why);
    Send();
  }

  // ---- Reply

  void Send() {
    if (!exchange_.Replied()) {
      exchange_.Refuse(500, kInternal, "internal error");
    }
    Phase(Seconds(server_.options().idleTimeout) * 1000);
    asio::async_write(socket_, asio::buffer(exchange_.reply().first),
                      [self = shared_from_this()](
                          const boost::system::error_code& ec, size_t sent) {
                        self->Moved(sent);
                        if (ec || self->expired_) return self->Sent(false);
                        self->SendBlock();
                      });
  }

  // The file body's next block.
  void SendBlock() {
    Reply& reply = exchange_.reply();
    if (reply.left == 0) return Sent(true);
    if (block_.size() < kStreamBlock) block_.resize(kStreamBlock);
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(block_.size(), reply.left));
    ssize_t got;
    do {
      got = ::pread(reply.file, block_.data(), want,
                    static_cast<off_t>(reply.fileAt));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return Sent(false);  // the file shrank: the reply ends short
    asio::async_write(socket_,
                      asio::buffer(block_.data(), static_cast<size_t>(got)),
                      [self = shared_from_this()](
                          const boost::system::error_code& ec, size_t sent) {
                        self->Moved(sent);
                        Reply& reply = self->exchange_.reply();
                        reply.fileAt += sent;
                        reply.left -= sent;
                        self->exchange_.outcome().bodyBytes += sent;
                        if (ec || self->expired_) return self->Sent(false);
                        self->SendBlock();
                      });
  }

  void Sent(bool whole) {
    unsent_ = !whole && !exchange_.outcome().cut;
    timedOut_ = timedOut_ || expired_;
    Report(whole);
    LogOutcome();
    Linger();
  }

  // Tells the operation once whether its reply went out whole.
  void Report(bool whole) {
    auto sent = std::move(exchange_.reply().sent);
    exchange_.reply().sent = nullptr;
    if (!sent) return;
    try {
      sent(whole);
    } catch (const std::exception& problem) {
      server_.Log(LogTime() + " " + peer_ + " error: " + problem.what());
    }
  }

  // ---- Linger and close

  void Linger() {
    boost::system::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    if (ec || aborted_) return Close();
    Phase(BodyLimit(hasHead_ ? head_.contentLength : 0), kLingerIdle);
    Drain();
  }

  void Drain() {
    socket_.async_read_some(
        asio::buffer(chunk_),
        [self = shared_from_this()](const boost::system::error_code& ec,
                                    size_t got) {
          self->Moved(got);
          self->drained_ += got;
          if (ec || got == 0 || self->expired_ ||
              self->drained_ > kLingerBytes) {
            return self->Close();
          }
          self->Drain();
        });
  }

  void Close() {
    closed_ = true;
    timer_.cancel();
    boost::system::error_code ec;
    socket_.close(ec);
  }

  // One line per request, after its reply went out (or could not):
  //   TIME PEER "METHOD TARGET" STATUS BODY-BYTES [code=N] [user=ID] [cut]
  //   [timed-out] [unsent] ["REFUSAL"]
  void LogOutcome() {
    const Outcome& outcome = exchange_.outcome();
    std::string line = LogTime() + " " + peer_ + " \"";
    line += hasHead_ ? head_.method + " " + head_.target : std::string("-");
    line += "\" " + std::to_string(outcome.status) + " " +
            std::to_string(outcome.bodyBytes);
    line += outcome.code ? " code=" + std::to_string(outcome.code) : "";
    line += outcome.userId ? " user=" + std::to_string(outcome.userId) : "";
    line += outcome.cut ? " cut" : "";
    line += timedOut_ ? " timed-out" : "";
    line += unsent_ ? " unsent" : "";
    line += outcome.reason.empty() ? "" : " \"" + outcome.reason + "\"";
    server_.Log(line);
  }

  Server& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  bool served_;
  std::string peer_;

  Clock::time_point deadline_{}, lastMove_{};
  Clock::duration idle_{};
  bool expired_ = false;
  bool aborted_ = false;
  bool closed_ = false;
  bool timedOut_ = false;
  bool unsent_ = false;

  std::array<char, 4096> chunk_{};
  std::vector<char> block_;
  std::string data_;
  RequestHead head_;
  bool hasHead_ = false;
  Exchange exchange_;
  std::unique_ptr<SaveRequest> save_;
  uint64_t drained_ = 0;
};

// ---- Server
// --------------------------------------------------------------------

bool Server::Listen() {
  boost::system::error_code ec;
  const auto address = asio::ip::make_address_v4(options().listen, ec);
  const tcp::endpoint endpoint(address, static_cast<uint16_t>(options().port));
  if (!ec) acceptor_.open(tcp::v4(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::fprintf(stderr, "vesk-service: cannot listen on %s:%d: %s\n",
                 options().listen.c_str(), options().port,
                 ec.message().c_str());
    return false;
  }
  std::printf("listening on %s:%u\n", options().listen.c_str(),
              static_cast<unsigned>(acceptor_.local_endpoint(ec).port()));
  std::fflush(stdout);
  return true;
}

void Server::Run() {
  signals_.async_wait([this](const boost::system::error_code& ec, int) {
    if (!ec) Stop();
  });
  asio::post(strand_, [this] { Accept(); });
  std::vector<std::thread> threads;
  for (int i = 1; i < options().threads; ++i) {
    threads.emplace_back([this] { io_.run(); });
  }
  io_.run();
  for (std::thread& thread : threads) thread.join();
}

void Server::Accept() {
  acceptor_.async_accept(
      asio::make_strand(io_),
      [this](const boost::system::error_code& ec, tcp::socket socket) {
        if (stopping_) return;
        if (ec) {
          // Out of descriptors: the connection waits in the listen queue
          // (never refused by a reset) until some close.
          if (!acceptFailing_) {
            Log(LogTime() + " accept: " + ec.message());
            acceptFailing_ = true;
          }
          retry_.expires_after(std::chrono::milliseconds(50));
          retry_.async_wait([this](const boost::system::error_code& waited) {
            if (!waited && !stopping_) Accept();
          });
          return;
        }
        acceptFailing_ = false;
        bool served;
        {
          std::lock_guard<std::mutex> guard(sessionsLock_);
          served = served_ < static_cast<size_t>(options().maxConnections);
          if (served) ++served_;
        }
        std::make_shared<Session>(*this, std::move(socket), served)->Start();
        Accept();
      });
}

void Server::Stop() {
  // No new connections; the open ones are woken and end.
  stopping_ = true;
  boost::system::error_code ec;
  acceptor_.close(ec);
  retry_.cancel();
  std::lock_guard<std::mutex> guard(sessionsLock_);
  Log(LogTime() +
      " stopping, connections open: " + std::to_string(sessions_.size()));
  for (auto& [raw, weak] : sessions_) {
    if (auto session = weak.lock()) {
      asio::post(session->executor(), [session] { session->Abort(); });
    }
  }
  // A connection still open then is cut off with the process: its pending
  // waits hold it, and it reports to this server, so it cannot outlive the
  // server's end. The store is left as its last commit left it.
  retry_.expires_after(kStopWait);
  retry_.async_wait([this](const boost::system::error_code& waited) {
    if (waited) return;
    std::lock_guard<std::mutex> guard(sessionsLock_);
    Log(LogTime() +
        " stop: connections cut off: " + std::to_string(sessions_.size()));
    std::fflush(stderr);
    std::_Exit(1);
  });
  if (sessions_.empty()) retry_.cancel();
}

void Server::Register(const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> guard(sessionsLock_);
  sessions_.emplace(session.get(), session);
}

void Server::Unregister(Session* session, bool served) {
  std::lock_guard<std::mutex> guard(sessionsLock_);
  sessions_.erase(session);
  if (served) --served_;
  if (stopping_ && sessions_.empty()) {
    asio::post(strand_, [this] { retry_.cancel(); });
  }
}

void Server::Log(const std::string& line) {
  std::lock_guard<std::mutex> guard(logLock_);
  std::fprintf(stderr, "%s\n", line.c_str());
}

// Each connection holds a descriptor, and a save or a file reply one more:
// the limit of open files is raised (to the hard limit at most) so that
// --max-connections can be reached.
void RaiseFileLimit(const ServeOptions& options) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(options.maxConnections) * 2 + 256;
  if (limit.rlim_cur >= wanted) return;
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  if (::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > before) {
    std::fprintf(stderr, "open-file limit raised from %llu to %llu\n",
                 static_cast<unsigned long long>(before),
                 static_cast<unsigned long long>(limit.rlim_cur));
  }
}

}  // namespace

// A store that gives up this much when the disk fills keeps deletes and
// heartbeats working until the disk has room again.
constexpr int64_t kStoreReserve = 1 << 20;

int Serve(Store& store, const ServeOptions& options) {
  ::signal(SIGPIPE, SIG_IGN);
  RaiseFileLimit(options);
  asio::io_context io(options.threads);
  {
    Server server(io, store, options);
    if (!server.Listen()) return 1;
    store.KeepReserve(kStoreReserve);
    store.RestoreReserve(0);
    server.Run();
  }
  std::fprintf(stderr, "%s stopped\n", LogTime().c_str());
  return 0;
}

}  // namespace vesk::service_tool
