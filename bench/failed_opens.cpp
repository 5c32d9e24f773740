// failed_opens: times the open attempts of one detection scan that find no port: COM1 to
// COM256, at 115200 and then 9600 bits per second, through the serial link and the system's
// own serial services, with the parameters the scan uses. Run it where none of these names
// opens (natively KESTRELON_COM_DIR naming an empty directory; under Wine a prefix with no
// COM link of ours); a name that does open is counted and closed at once, without a byte.
//
// Usage: failed_opens [SCANS] [FIRST LAST]
//   SCANS        scans to time (default 20, at most 1000)
//   FIRST LAST   port numbers to try (default 1 256)
// Prints one line per scan ("scan N: X ms for M attempts, K opened") and a summary line
//   failed_opens attempts=M scans=S median_ms=... min_ms=... max_ms=... opened=K
// Refuses to run outside scripts/isolated.sh (KESTRELON_ISOLATED=1), and without
// KESTRELON_COM_DIR naming a directory (the benchmark sets it on both sides; natively the
// names then resolve only there): a COM name must never reach a real serial device.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/port_detection.h"
#include "device/serial_link.h"
#include "device/serial_platform.h"

namespace {

struct ScanTime {
  double milliseconds = 0;
  int attempts = 0;
  int opened = 0;
};

bool parse_int(const char* text, long low, long high, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

ScanTime time_one_scan(kestrelon::SerialLink& link, int first, int last) {
  ScanTime scan;
  // The trials' lines are made before the clock starts: the scan makes each as cheaply.
  std::vector<kestrelon::PortParameters> trials;
  for (int port = first; port <= last; ++port) {
    for (int32_t speed : kestrelon::kDetectionSpeeds) {
      trials.push_back(kestrelon::detection_trial_parameters(port, speed));
    }
  }
  const auto start = std::chrono::steady_clock::now();
  for (const kestrelon::PortParameters& parameters : trials) {
    const kestrelon::PortId port = link.open_port(parameters);
    ++scan.attempts;
    if (port != 0) {
      ++scan.opened;
      link.close_port(port);
    }
  }
  const auto end = std::chrono::steady_clock::now();
  scan.milliseconds = std::chrono::duration<double, std::milli>(end - start).count();
  return scan;
}

}  // namespace

int main(int argc, char** argv) {
  const char* isolated = std::getenv("KESTRELON_ISOLATED");
  const char* com_dir = std::getenv("KESTRELON_COM_DIR");
  if (isolated == nullptr || std::strcmp(isolated, "1") != 0 || com_dir == nullptr ||
      *com_dir == '\0') {
    std::fprintf(stderr,
                 "failed_opens: refusing to run outside scripts/isolated.sh or without "
                 "KESTRELON_COM_DIR\n");
    return 2;
  }
  int scans = 20;
  int first = 1;
  int last = 256;
  if ((argc != 1 && argc != 2 && argc != 4) || (argc >= 2 && !parse_int(argv[1], 1, 1000, scans)) ||
      (argc == 4 &&
       (!parse_int(argv[2], 1, 256, first) || !parse_int(argv[3], first, 256, last)))) {
    std::fprintf(stderr, "usage: failed_opens [SCANS] [FIRST LAST]\n");
    return 2;
  }

  const auto platform = kestrelon::make_system_serial_platform();
  kestrelon::SerialLink link(*platform);
  std::vector<double> times;
  int attempts = 0;
  int opened = 0;
  for (int i = 1; i <= scans; ++i) {
    const ScanTime scan = time_one_scan(link, first, last);
    std::printf("scan %d: %.3f ms for %d attempts, %d opened\n", i, scan.milliseconds,
                scan.attempts, scan.opened);
    times.push_back(scan.milliseconds);
    attempts = scan.attempts;
    opened = std::max(opened, scan.opened);
  }
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  const double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  std::printf(
      "failed_opens attempts=%d scans=%d median_ms=%.3f min_ms=%.3f max_ms=%.3f opened=%d\n",
      attempts, scans, median, sorted.front(), sorted.back(), opened);
  std::fflush(stdout);
  return 0;
}
