#include "tools/serve/serve.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <string_view>
#include <vector>

#include "stat/endpoints.h"
#include "tools/serve/network_map.h"
#include "tools/serve/pki.h"
#include "tools/serve/services.h"
#include "tools/serve/tls_server.h"

namespace kxserve {
namespace {

constexpr char kUsage[] =
    "usage: kxserve --machine DIR [--fault MODE] [--port N]\n"
    "\n"
    "Serves the maker's statistics, marketing and offer-page services over HTTPS on\n"
    "127.0.0.1 for the machine in DIR: makes the machine's CA and the services' certificate\n"
    "under DIR/pki (once), routes the services' host names to the port in DIR/machine.json,\n"
    "prints \"ready\" and serves until SIGTERM or SIGINT. Every request is appended to\n"
    "DIR/log/received.jsonl.\n"
    "\n"
    "  --machine DIR  the machine folder\n"
    "  --port N       the port to listen on (default: any free port)\n"
    "  --fault MODE   slow (answer after 2 s), hang (never answer), error500 (HTTP 500),\n"
    "                 garbage (200 with bytes that are no envelope), oversized (200 with\n"
    "                 2 MiB), wrong-cert (a certificate of a CA the machine does not trust)\n";

struct Options {
  std::string machine;
  Fault fault = Fault::kNone;
  int port = 0;
};

// 0: parsed; 2: usage error (reported); -1: help printed.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "kxserve: %s needs a value\n%s", argv[i], kUsage);
      return 2;
    }
    const std::string_view value = argv[++i];
    if (arg == "--machine") {
      options->machine = value;
    } else if (arg == "--fault") {
      if (!ParseFault(value, &options->fault)) {
        std::fprintf(stderr, "kxserve: unknown fault mode %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "--port") {
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), options->port);
      if (error != std::errc() || end != value.data() + value.size() || options->port < 0 ||
          options->port > 65535) {
        std::fprintf(stderr, "kxserve: bad port %s\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "kxserve: unknown option %s\n%s", argv[i - 1], kUsage);
      return 2;
    }
  }
  if (options->machine.empty()) {
    std::fprintf(stderr, "kxserve: --machine is required\n%s", kUsage);
    return 2;
  }
  return 0;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "kxserve: %s\n", why.c_str());
  return 1;
}

}  // namespace

int ServeMain(int argc, char** argv) {
  Options options;
  if (int parsed = ParseOptions(argc, argv, &options); parsed != 0) return parsed < 0 ? 0 : parsed;

  std::error_code ec;
  const std::string root = std::filesystem::canonical(options.machine, ec).string();
  if (ec || !std::filesystem::is_directory(root, ec))
    return Fail(options.machine + " is not a folder");

  const std::vector<std::string> hosts = {Kx::kStatisticsHostName, Kx::kMarketingHostName,
                                          Kx::kOfferPagesHostName};
  std::string error;
  PkiFiles pki;
  if (!EnsurePki(root + "/pki", hosts, &pki, &error)) return Fail(error);

  StopSignal stop;
  if (!stop.ok()) return Fail("cannot make the stop pipe");
  // SIGTERM and SIGINT are taken by one thread with sigwait, blocked everywhere else (the
  // mask is inherited by every thread started later): a synchronous stop that no blocking
  // call in a serving thread can delay.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::thread stopper([&stop, stop_signals] {
    int signal_number = 0;
    ::sigwait(&stop_signals, &signal_number);
    stop.Set();
  });
  struct StopperJoin {
    std::thread& thread;
    ~StopperJoin() {
      // Ends the waiting thread when the services end for any other reason.
      ::pthread_kill(thread.native_handle(), SIGTERM);
      thread.join();
    }
  } stopper_join{stopper};
  // A client that leaves mid-reply must not end the services.
  ::signal(SIGPIPE, SIG_IGN);

  TlsServer server;
  const std::string& cert =
      options.fault == Fault::kWrongCert ? pki.foreign_server_cert : pki.server_cert;
  if (!server.Listen(options.port, cert, pki.server_key, &error)) return Fail(error);
  if (!WriteNetworkMap(root, hosts, server.port(), pki.ca_cert, &error)) return Fail(error);

  ::mkdir((root + "/log").c_str(), 0755);
  Services services(root + "/log/received.jsonl", options.fault);
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  server.Serve([&services](const HttpRequest& request) { return services.Handle(request); }, stop);
  return 0;
}

}  // namespace kxserve
