// vornfabriclldpd: the agent on this machine's interfaces.
//
//   vornfabriclldpd --config FILE [--check] [--stderr] [--after-reload]
//
// Exit codes: 0 after a clean stop, 1 when the daemon cannot start or could
// not write its backup at the stop, 2 for a bad command line or
// configuration file.

#include "Daemon.h"
#include "DaemonConfig.h"

#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr int kCannotRun = 1;
constexpr int kBadConfig = 2;

void usage(std::ostream& out) {
  out << "usage: vornfabriclldpd --config FILE [--check] [--stderr] [--after-reload]\n"
         "  --config FILE   the daemon's configuration (see tools/vornfabriclldpd/README.md)\n"
         "  --check         read and check the configuration, then exit\n"
         "  --stderr        also write each system log message to stderr\n"
         "  --after-reload  the switch has just reloaded: only the local backup survived\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath;
  bool check = false;
  VornDaemon::DaemonOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      configPath = argv[++i];
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--stderr") {
      options.logToStderr = true;
    } else if (arg == "--after-reload") {
      options.afterReload = true;
    } else if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      return 0;
    } else {
      std::cerr << "vornfabriclldpd: unknown argument " << arg << "\n";
      usage(std::cerr);
      return kBadConfig;
    }
  }
  if (configPath.empty()) {
    usage(std::cerr);
    return kBadConfig;
  }

  VornDaemon::DaemonConfig config;
  try {
    config = VornDaemon::loadDaemonConfig(configPath);
  } catch (const Config::FieldError& e) {
    std::cerr << "vornfabriclldpd: bad configuration: " << e.what() << "\n";
    return kBadConfig;
  }
  if (check) {
    std::cout << configPath << ": member " << static_cast<int>(config.memberId.value()) << ", "
              << config.channels.size() << " channels: OK\n";
    return 0;
  }

  try {
    VornDaemon::Daemon daemon(std::move(config), options);
    return daemon.run();
  } catch (const VornDaemon::StartError& e) {
    std::cerr << "vornfabriclldpd: cannot start: " << e.what() << "\n";
    return kCannotRun;
  }
}
