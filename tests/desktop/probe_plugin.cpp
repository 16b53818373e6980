// A Qt plugin that anyone could put in QT_PLUGIN_PATH: when loaded it reports
// what it could do with the process's privileges, so that the package test
// shows it never runs with the right to the TFTP ports. It appends one line to
// $QEL_PROBE_REPORT: the effective capabilities and the outcome of binding
// UDP port 81.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGenericPlugin>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

__attribute__((constructor)) void report() {
  const char* report = std::getenv("QEL_PROBE_REPORT");
  if (!report) return;
  std::string capabilities = "?";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("CapEff:", 0) == 0) capabilities = line.substr(line.find_first_not_of(" \t", 7));
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(81);
  int bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  std::string outcome = bound == 0 ? "bound" : std::strerror(errno);
  ::close(s);
  if (FILE* out = std::fopen(report, "a")) {
    std::fprintf(out, "uid=%u capeff=%s port81=%s\n", static_cast<unsigned>(::geteuid()),
                 capabilities.c_str(), outcome.c_str());
    std::fclose(out);
  }
}

}  // namespace

class ProbePlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe_plugin.json")

 public:
  QObject* create(const QString&, const QString&) override { return nullptr; }
};

#include "probe_plugin.moc"
