// The device identifier of the identification query: first the pure extraction from a reply,
// then the whole query over the scripted fake, with the reply arriving in pieces.
#include <fuzzer/FuzzedDataProvider.h>

#include "device/device_commands.h"
#include "fuzz/recording_platform.h"

using namespace kestrelon;
using namespace kestrelon::fuzz;

namespace {

void check_identifier(const std::wstring& identifier, std::string_view reply) {
  FUZZ_CHECK(identifier.size() <= 10);
  FUZZ_CHECK(identifier.find(L'\0') == identifier.npos);
  FUZZ_CHECK(identifier == reference_identifier_from_reply(reply));
}

void query_over_fake(FuzzedDataProvider& input) {
  testing::FakeSerialPlatform fake;
  testing::FakePort& port = fake.add_port(L"COM3");
  port.fail_waiting_input = input.ConsumeBool() && input.ConsumeBool();
  port.phantom_waiting =
      input.ConsumeBool() && input.ConsumeBool() ? input.ConsumeIntegral<uint8_t>() : 0;
  testing::Reply reply;
  reply.delay_ms = input.ConsumeIntegralInRange<uint32_t>(0, 2000);
  reply.piece_gap_ms = input.ConsumeIntegralInRange<uint32_t>(0, 400);
  const size_t pieces = input.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < pieces; ++i) {
    std::string piece = input.ConsumeRandomLengthString(256);
    // A piece may be repeated to reach replies larger than the reply buffer.
    const size_t repeat = input.ConsumeIntegralInRange<size_t>(1, 400);
    std::string bytes;
    for (size_t r = 0; r < repeat && bytes.size() < 65536; ++r) bytes += piece;
    reply.pieces.push_back(bytes);
  }
  const uint32_t limit = input.ConsumeIntegralInRange<uint32_t>(0, 5000);
  port.responder = [reply](std::string_view, const LineSettings&) { return reply; };

  RecordingPlatform platform(fake);
  SerialLink link(platform);
  PortParameters parameters;
  parameters.name = L"COM3";
  parameters.speed = 115200;
  const PortId id = link.open_port(parameters);
  FUZZ_CHECK(id != 0);
  SequenceCounter counter;
  const std::optional<std::wstring> identifier = identification_query(link, id, counter, limit);

  const Session& session = *platform.sessions.at(0);
  std::vector<const SessionEvent*> reads;
  for (const SessionEvent& event : session.events) {
    if (event.kind == SessionEvent::read) reads.push_back(&event);
  }
  FUZZ_CHECK(reads.size() <= 1);  // one read of what is waiting, never more
  // No identifier at all exactly when not a byte came back.
  FUZZ_CHECK(identifier.has_value() == (!reads.empty() && !reads[0]->bytes.empty()));
  check_identifier(identifier.value_or(L""), reads.empty() ? std::string_view() : reads[0]->bytes);
  if (!reads.empty()) FUZZ_CHECK(reads[0]->bytes.size() <= kReplyBufferSize);
  // The wait is bounded: 250 ms, then at most the limit rounded up to the next poll.
  FUZZ_CHECK(fake.total_paused_ms() <= 250 + limit + 25);
  FUZZ_CHECK(session.events.front().kind == SessionEvent::timeouts);
  FUZZ_CHECK(session.events.at(1).bytes == reference_frame(0x21, 0x60));
  link.close_all_ports();
  FUZZ_CHECK(!port.open);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_identifier(identifier_from_reply(bytes), bytes);

  FuzzedDataProvider input(data, size);
  query_over_fake(input);
  return 0;
}
