#include "app/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/fake_serial_platform.h"
#include "unit/scripted_services.h"
#include "unit/temp_dir.h"

namespace kestrelon {
namespace {

using testing::DeviceScript;
using ::testing::ElementsAre;
using testing::FakePort;
using testing::FakeSerialPlatform;
using testing::RecordingTray;
using testing::ScriptedBoxes;
using testing::TempDir;

class RunTest : public ::testing::Test {
 protected:
  RunEnd run(const std::string& settings) {
    if (!settings.empty()) TempDir::write(dir_.file(kSettingsFileName), settings);
    RunServices services{platform_, boxes_,
                         [this] { return std::make_unique<RecordingTray>(platform_.events); },
                         dir_.file(kSettingsFileName).wstring()};
    return run_once(services, state_);
  }
  std::vector<std::string> wire() const { return platform_.events_starting("write"); }

  TempDir dir_;
  FakeSerialPlatform platform_;
  ScriptedBoxes boxes_{platform_.events};
  ProgramState state_;
};

TEST_F(RunTest, ConfiguredRunPrintsTheReport) {
  platform_.add_port(L"COM3").responder = testing::fiscal_device({});
  EXPECT_EQ(run("com=COM3\r\nport=115200\r\n"), RunEnd::finished);
  EXPECT_THAT(wire(),
              ElementsAre("write COM3 02 23 21 60 36 32 0A", "write COM3 02 23 22 22 32 33 0A",
                          "write COM3 18", "write COM3 17", "write COM3 04"));
  // Before the open, after it, the reply wait, and one after each release byte.
  EXPECT_THAT(platform_.pauses(), ElementsAre(250, 250, 250, 25, 25, 25, 25));
  EXPECT_EQ(platform_.events.front(), "tray shown");
  EXPECT_THAT(std::vector<std::string>(platform_.events.end() - 3, platform_.events.end()),
              ElementsAre("close COM3", "tray icon removed", "tray destroyed"));
  EXPECT_EQ(state_.serial_timeout_ms, 120000u);
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(RunTest, DeviceNotIdentifiedAsVfGetsNoReport) {
  platform_.add_port(L"COM3").responder = testing::fiscal_device({.identifier = "vf12345678"});
  EXPECT_EQ(run("com=COM3\r\nport=9600\r\n"), RunEnd::finished);
  EXPECT_THAT(wire(), ElementsAre("write COM3 02 23 21 60 36 32 0A", "write COM3 18",
                                  "write COM3 17", "write COM3 04"));
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(RunTest, DeviceThatSendsNothingBackIsToldToTheUser) {
  for (bool line_fails : {false, true}) {  // a silent device; a line that hung up
    platform_.events.clear();
    boxes_.shown.clear();
    FakePort& port = platform_.add_port(L"COM3");
    port.responder = line_fails ? testing::fiscal_device({}) : nullptr;
    port.fail_waiting_input = line_fails;
    EXPECT_EQ(run("com=COM3\r\nport=115200\r\n"), RunEnd::device_silent);
    EXPECT_THAT(wire(), ElementsAre("write COM3 02 23 21 60 36 32 0A", "write COM3 18",
                                    "write COM3 17", "write COM3 04"));
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].first, L"Eroare");
    EXPECT_EQ(boxes_.shown[0].second, L"Configurare COM/PORT Incorecta\r\nInchidem Aplicatia");
    // The port is released and closed before the box; the tray goes after it.
    EXPECT_THAT(std::vector<std::string>(platform_.events.end() - 4, platform_.events.end()),
                ElementsAre("close COM3", "box plain", "tray icon removed", "tray destroyed"));
  }
}

TEST_F(RunTest, PortThatCannotBeOpenedIsReportedOnce) {
  for (const char* settings : {"com=COM250\r\nport=9600\r\n", "com=COM 3\r\nport=9600\r\n",
                               "com=COM3\r\nport=-9600\r\n", "com=..\\..\\x\r\nport=9600\r\n"}) {
    platform_.events.clear();
    boxes_.shown.clear();
    EXPECT_EQ(run(settings), RunEnd::port_not_opened) << settings;
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].first, L"Eroare");
    EXPECT_EQ(boxes_.shown[0].second, L"Configurare COM/PORT Incorecta\r\nInchidem Aplicatia");
    EXPECT_THAT(platform_.pauses(), ElementsAre(250));  // nothing after the failed open
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(platform_.events.back(), "tray destroyed");
  }
}

TEST_F(RunTest, FreshInstallFindsTheDeviceAndContinuesTheSequenceNumbers) {
  platform_.add_port(L"COM3").responder = testing::fiscal_device({});
  EXPECT_EQ(run(""), RunEnd::finished);
  EXPECT_EQ(TempDir::read(dir_.file(kSettingsFileName)), ";com=COM1\r\n;port=115200\r\n");
  EXPECT_EQ(state_.port_settings.port_name, L"COM3");
  EXPECT_EQ(state_.port_settings.speed, 115200);
  const auto frames = platform_.events_starting("write COM3 02");
  // Two identification frames during the scan (both speeds), then the run's own.
  EXPECT_THAT(frames,
              ElementsAre("write COM3 02 23 21 60 36 32 0A", "write COM3 02 23 22 60 36 31 0A",
                          "write COM3 02 23 23 60 36 30 0A", "write COM3 02 23 24 22 32 35 0A"));
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(RunTest, DetectionRunsWhenEitherSettingIsMissing) {
  for (const char* settings : {"com=COM9\r\n", "port=9600\r\n", "com=COM9\r\nport=0\r\n"}) {
    FakeSerialPlatform platform;
    platform.add_port(L"COM4").responder = testing::fiscal_device({.speeds = {9600}});
    ScriptedBoxes boxes(platform.events);
    ProgramState state;
    TempDir::write(dir_.file(kSettingsFileName), settings);
    RunServices services{platform, boxes, nullptr, dir_.file(kSettingsFileName).wstring()};
    EXPECT_EQ(run_once(services, state), RunEnd::finished) << settings;
    EXPECT_EQ(state.port_settings.port_name, L"COM4") << settings;
    EXPECT_EQ(state.port_settings.speed, 9600) << settings;
    EXPECT_EQ(
        platform.port(L"COM4").received.substr(platform.port(L"COM4").received.size() - 10, 4),
        std::string("\x02\x23\x23\x22", 4));
  }
}

TEST_F(RunTest, NoDeviceAndNoEndsTheRunWithoutOpeningAnyPortAgain) {
  platform_.add_port(L"COM3");  // opens, never answers
  boxes_.answers = {Answer::yes, Answer::no};
  EXPECT_EQ(run(""), RunEnd::user_gave_up);
  ASSERT_EQ(boxes_.shown.size(), 2u);
  EXPECT_EQ(boxes_.shown[0].first, L"Eroare");
  EXPECT_EQ(boxes_.shown[0].second,
            L"Aparatul fiscal nu este in modul de lucru\nsau nu are parametrul de comunicatie "
            L"setat\n\nrog reincercati");
  EXPECT_EQ(platform_.port(L"COM3").times_opened, 4);  // two scans, two speeds each
  const auto last_box = std::find(platform_.events.rbegin(), platform_.events.rend(), "box yes/no");
  EXPECT_THAT(std::vector<std::string>(platform_.events.rbegin(), last_box),
              ElementsAre("tray destroyed", "tray icon removed"));
}

TEST_F(RunTest, PortRefusedForLackOfRightsIsToldOnlyWithItsOwnMessage) {
  // Refused at the first scan, which finds nothing: its question says so, the next does not.
  platform_.add_port(L"COM1").refused_opens = 2;
  boxes_.answers = {Answer::yes, Answer::no};
  EXPECT_EQ(run(""), RunEnd::user_gave_up);
  ASSERT_EQ(boxes_.shown.size(), 2u);
  EXPECT_EQ(boxes_.shown[0].second, kNoDeviceText + std::wstring(L"[refused COM1 COM1]"));
  EXPECT_EQ(boxes_.shown[1].second, kNoDeviceText);

  // Refused during a scan that finds the device, which is then gone before the run opens it:
  // the box is about the device's port alone.
  FakeSerialPlatform platform;
  platform.add_port(L"COM1").refused_opens = 2;
  FakePort& device = platform.add_port(L"COM3");
  device.responder = testing::fiscal_device({});
  device.opens_before_gone = 2;
  ScriptedBoxes boxes(platform.events);
  ProgramState state;
  RunServices services{platform, boxes, nullptr, dir_.file(kSettingsFileName).wstring()};
  EXPECT_EQ(run_once(services, state), RunEnd::port_not_opened);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].second, kBadPortSettingsText);
}

TEST_F(RunTest, NegativeSpeedSkipsDetection) {
  platform_.add_port(L"COM3").responder = testing::fiscal_device({});
  platform_.port(L"COM3").fail_apply_settings = true;  // as a driver refusing the speed does
  EXPECT_EQ(run("com=COM3\r\nport=-1\r\n"), RunEnd::port_not_opened);
  EXPECT_EQ(platform_.port(L"COM3").times_opened, 1);
  EXPECT_EQ(platform_.port(L"COM3").applied_settings.at(0).baud_rate, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace kestrelon
