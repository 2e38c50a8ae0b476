// vornfabriclldpd: the agent on this machine's interfaces.
//
//   vornfabriclldpd --config FILE [--check] [--stderr] [--after-reload]
//
// Exit codes: 0 after a clean stop, 1 when the daemon cannot start or could
// not write its backup at the stop, 2 for a bad command line or
// configuration file.

#include "Daemon.h"
#include "DaemonConfig.h"

#include "common/CommandLine.h"

#include <iostream>
#include <string>

namespace {

constexpr int kCannotRun = 1;
constexpr int kBadConfig = 2;

}  // namespace

int main(int argc, char** argv) {
  std::string configPath;
  bool check = false;
  VornDaemon::DaemonOptions options;

  CLI::App app("The agent on this machine's interfaces.", "vornfabriclldpd");
  ToolCommandLine::takeLastValue(app);
  app.add_option("--config", configPath, "the daemon's configuration (required; see tools/vornfabriclldpd/README.md)")
      ->type_name("FILE");
  app.add_flag("--check", check, "read and check the configuration, then exit");
  app.add_flag("--stderr", options.logToStderr, "also write each system log message to stderr");
  app.add_flag("--after-reload", options.afterReload, "the switch has just reloaded: only the local backup survived");
  if (auto done = ToolCommandLine::parse(app, argc, argv, "vornfabriclldpd", kBadConfig)) return *done;
  // Checked here rather than by the parser, which would report it ahead of
  // an unknown option.
  if (configPath.empty()) return ToolCommandLine::refused("vornfabriclldpd", "--config FILE is required", kBadConfig);

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
