// The core serial link, device port, device commands and detection over the termios
// platform, with kestrelon-sim on real pseudo-terminals.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/text.h"
#include "device/device_commands.h"
#include "device/device_port.h"
#include "device/port_detection.h"
#include "device/serial_link.h"
#include "posix_test_support.h"

namespace kestrelon {
namespace {

using testing::Simulator;
using testing::TempDir;

PortParameters probe_parameters(const wchar_t* name, int32_t speed) {
  PortParameters parameters;
  parameters.name = name;
  parameters.speed = speed;
  parameters.parity = 0;
  parameters.data_bits = 8;
  parameters.stop_bits = 1.0f;
  parameters.handshake = 0;
  parameters.input_buffer_size = 1024;
  parameters.output_buffer_size = 1024;
  return parameters;
}

class PosixLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    com_dir_ = std::make_unique<testing::ScopedEnv>("KESTRELON_COM_DIR", dir_.path().c_str());
  }

  // COM3 at 115200 opened as the device port.
  void open_com3_device_port(PortId& device_port) {
    ASSERT_TRUE(open_device_port(link_, device_port, PortSettings{L"COM3", 115200}, 120000));
  }

  TempDir dir_;
  std::unique_ptr<testing::ScopedEnv> com_dir_;
  std::unique_ptr<SerialPlatform> platform_ = make_system_serial_platform();
  SerialLink link_{*platform_};
  SequenceCounter counter_;
};

TEST_F(PosixLinkTest, OpenPortSetsTheLineAndHoldsThePort) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  const PortId port = link_.open_port(probe_parameters(L"COM3", 115200));
  ASSERT_NE(port, 0);
  EXPECT_TRUE(link_.is_open(port));
  EXPECT_TRUE(sim.wait_for_log("SPEED 115200"));
  EXPECT_TRUE(sim.wait_for_log("LINE 8N1"));
  EXPECT_EQ(link_.open_port(probe_parameters(L"COM3", 115200)), 0);  // held
  link_.close_port(port);
  EXPECT_FALSE(link_.is_open(port));
  const PortId again = link_.open_port(probe_parameters(L"COM3", 9600));
  EXPECT_NE(again, 0);
  EXPECT_TRUE(sim.wait_for_log("SPEED 9600"));
}

TEST_F(PosixLinkTest, PortsThatCannotBeOpenedGiveZero) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  EXPECT_EQ(link_.open_port(probe_parameters(L"COM3", 12345)), 0);  // no such speed
  EXPECT_EQ(link_.open_port(probe_parameters(L"COM3", -9600)), 0);
  EXPECT_EQ(link_.open_port(probe_parameters(L"COM4", 115200)), 0);  // no link
  EXPECT_EQ(link_.open_port(probe_parameters(L"COM03", 115200)), 0);
  EXPECT_EQ(link_.open_port(probe_parameters(L"COM 3", 115200)), 0);
  // A refused speed left the port free.
  EXPECT_NE(link_.open_port(probe_parameters(L"COM3", 115200)), 0);
}

TEST_F(PosixLinkTest, ProbeAndIdentificationThroughTheLink) {
  Simulator sim(dir_, "com3");
  ASSERT_TRUE(sim.ready());
  const PortId port = link_.open_port(probe_parameters(L"COM3", 115200));
  ASSERT_NE(port, 0);
  EXPECT_EQ(link_.write_bytes(port, "\x09"), 1u);
  link_.pause(250);
  ASSERT_EQ(link_.waiting_input_count(port), 1u);
  uint8_t status = 0;
  EXPECT_EQ(link_.read_bytes(port, &status, 1), 1u);
  EXPECT_EQ(status, 0x40);

  SequenceCounter counter;
  EXPECT_EQ(identification_query(link_, port, counter, 2000), L"VF12345678");
  EXPECT_TRUE(sim.wait_for_log("FRAME seq=21 cmd=60 len=23 ok"));
}

TEST_F(PosixLinkTest, DevicePortReportsAndReleases) {
  Simulator sim(dir_, "com3", {"--exit-after-report"});
  ASSERT_TRUE(sim.ready());
  PortId device_port = 0;
  ASSERT_NO_FATAL_FAILURE(open_com3_device_port(device_port));
  EXPECT_EQ(report_trigger(link_, device_port, counter_, 2000), ReportOutcome::report_sent);
  release_and_close(link_, device_port);
  EXPECT_FALSE(link_.is_open(device_port));
  ASSERT_TRUE(sim.wait_for_log("EXIT after report"));
  const std::string log = sim.log();
  EXPECT_NE(log.find("RX 02 23 22 22 32 33 0A"), std::string::npos) << log;
  EXPECT_NE(log.find("EVENT Z report printed count=1"), std::string::npos);
  const size_t release_18 = log.find("EVENT release 18");
  const size_t release_17 = log.find("EVENT release 17");
  const size_t release_04 = log.find("EVENT release 04");
  ASSERT_NE(release_04, std::string::npos) << log;
  EXPECT_LT(release_18, release_17);
  EXPECT_LT(release_17, release_04);
  EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
}

TEST_F(PosixLinkTest, AnIdentifierNotBeginningWithVfPrintsNothing) {
  Simulator sim(dir_, "com3", {"--id", "AB12345678"});
  ASSERT_TRUE(sim.ready());
  PortId device_port = 0;
  ASSERT_NO_FATAL_FAILURE(open_com3_device_port(device_port));
  EXPECT_EQ(report_trigger(link_, device_port, counter_, 2000), ReportOutcome::not_vf);
  release_and_close(link_, device_port);
  ASSERT_TRUE(sim.wait_for_log("EVENT release 04"));
  EXPECT_EQ(sim.log().find("Z report"), std::string::npos);
}

TEST_F(PosixLinkTest, ADeviceThatNeverRepliesEndsTheQueryByItsLimit) {
  Simulator sim(dir_, "com3", {"--fault", "no-id-reply"});
  ASSERT_TRUE(sim.ready());
  PortId device_port = 0;
  ASSERT_NO_FATAL_FAILURE(open_com3_device_port(device_port));
  EXPECT_EQ(report_trigger(link_, device_port, counter_, 500), ReportOutcome::no_reply);
  release_and_close(link_, device_port);
  EXPECT_TRUE(sim.wait_for_log("EVENT release 04"));
}

TEST_F(PosixLinkTest, AHugeReplyIsDrainedAtRelease) {
  Simulator sim(dir_, "com3", {"--fault", "huge-reply=100000"});
  ASSERT_TRUE(sim.ready());
  PortId device_port = 0;
  ASSERT_NO_FATAL_FAILURE(open_com3_device_port(device_port));
  EXPECT_EQ(report_trigger(link_, device_port, counter_, 2000), ReportOutcome::report_sent);
  release_and_close(link_, device_port);
  EXPECT_FALSE(link_.is_open(device_port));
}

TEST_F(PosixLinkTest, DetectionFindsTheSimulatedDevices) {
  Simulator com3(dir_, "com3", {"--id", "VF00000003"});
  Simulator com5(dir_, "com5", {"--id", "VF00000005", "--speeds", "9600"});
  Simulator com6(dir_, "com6", {"--status", "48"});  // status out of range
  ASSERT_TRUE(com3.ready() && com5.ready() && com6.ready());
  SequenceCounter counter;
  PortDetector detector(link_, counter);
  const std::wstring result = detector.detect_device_port(6, 0);
  // Port identifiers are the link's own: compare the other fields.
  const std::wstring lines[] = {field(result, 1, L"\n"), field(result, 2, L"\n"),
                                field(result, 3, L"\n"), field(result, 4, L"\n")};
  EXPECT_EQ(field(lines[0], 1, L" : ") + L"|" + field(lines[0], 2, L" : ") + L"|" +
                field(lines[0], 4, L" : ") + L"|" + field(lines[0], 5, L" : "),
            L"COM3|115200|64|VF00000003");
  EXPECT_EQ(field(lines[1], 1, L" : ") + L"|" + field(lines[1], 2, L" : ") + L"|" +
                field(lines[1], 5, L" : "),
            L"COM3|9600|VF00000003");
  EXPECT_EQ(field(lines[2], 1, L" : ") + L"|" + field(lines[2], 2, L" : ") + L"|" +
                field(lines[2], 5, L" : "),
            L"COM5|9600|VF00000005");
  EXPECT_EQ(lines[3], L"");
  ASSERT_TRUE(com6.sync());
  EXPECT_NE(com6.log().find("PROBE answered"), std::string::npos);
  EXPECT_EQ(com6.log().find("FRAME"), std::string::npos);
  // Each trial ends with the release bytes and a closed port.
  EXPECT_TRUE(com3.wait_for_log("EVENT release 04"));
  EXPECT_TRUE(com3.wait_for_log("FRAME seq=21 cmd=60"));
  EXPECT_TRUE(com3.wait_for_log("FRAME seq=22 cmd=60"));
  EXPECT_TRUE(com5.wait_for_log("IGNORED 1 bytes speed=115200"));
  EXPECT_TRUE(com5.wait_for_log("FRAME seq=23 cmd=60"));
}

}  // namespace
}  // namespace kestrelon
