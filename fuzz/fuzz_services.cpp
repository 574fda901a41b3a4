// Fuzz target: the adapter's answers to the service operations and the
// caller's configuration lists. The emulated adapter's answers to file
// store (read, write, delete), listing, memory, security, clock, version,
// analogue and digital requests are replaced by frames from the input (any
// header, flags and size, several or none per request); GET_CONFIG and
// SET_CONFIG get arbitrary lists on every channel ID.
//
// Every caller buffer is allocated to the exact size the operation may
// fill, so a write past it is caught. Checked: a listing, even one that
// never ends, stays within its documented maximum; a version
// text stays within 80 characters, a clock record read is one that the
// adapter sent whole.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/jmsg.h"

namespace {

using orv::emu::Frame;
using orv::emu::kAny;
using orv::emu::RequestMatch;
using orv::fuzz::FuzzWorld;
using orv::fuzz::kAllChannels;

constexpr uint32_t kMaxAnswersPerRequest = 3;
constexpr uint32_t kMaxScriptedRequests = 6;
constexpr size_t kTextBufferSize = 80;

// Parameters of GET_CONFIG / SET_CONFIG, so that most entries reach a
// handler instead of ending the list.
// clang-format off
constexpr std::array<uint32_t, 42> kParameters{
    DATA_RATE, LOOPBACK, NODE_ADDRESS, P1_MIN, P1_MAX, P2_MIN, P2_MAX, P3_MIN, P3_MAX, P4_MIN,
    P4_MAX, W1, W2, W3, W4, W5, TIDLE, TINIL, TWUP, PARITY, BIT_SAMPLE_POINT, SYNC_JUMP_WIDTH,
    ISO15765_BS, ISO15765_STMIN, DATA_BITS, FIVE_BAUD_MOD, BS_TX, STMIN_TX, ISO15765_WFT_MAX,
    ISO15765_PAD_VALUE, CAN_MIXED_FORMAT, J1962_PINS, FD_CAN_DATA_PHASE_RATE,
    FD_ISO15765_TX_DATA_LENGTH, HS_CAN_TERMINATION, MSG_TRIGGER, LAST_SEGMENT_TIMESTAMP,
    BUS_ERROR_MSGS, INTERFRAME_DELAY, AUTOMATIC_SUSPEND, 0, 0xFFFFFFFF};
// clang-format on

std::string TempPath(const char* what) {
  return "/tmp/orv-fuzz-" + std::to_string(getpid()) + "-" + what;
}

// One answer frame: mostly the header the request expects, sometimes any.
Frame AnswerFrame(FuzzedDataProvider& in, uint8_t dev, uint8_t op, uint8_t type) {
  Frame f;
  if (in.ConsumeIntegral<uint8_t>() < 224) {
    f.dev = dev;
    f.op = op;
    f.type = type;
  } else {
    f.dev = in.ConsumeIntegral<uint8_t>();
    f.op = in.ConsumeIntegral<uint8_t>();
    f.type = in.ConsumeIntegral<uint8_t>();
  }
  f.id = in.ConsumeIntegral<uint8_t>();
  f.flags = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint8_t>();
  const uint8_t size_kind = in.ConsumeIntegral<uint8_t>();
  f.size = size_kind < 230 ? in.ConsumeIntegralInRange<uint8_t>(0, orv::kJmsgDataSize)
                           : in.ConsumeIntegral<uint8_t>();
  const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(f.size);
  std::copy(bytes.begin(), bytes.end(), f.data.begin());
  return f;
}

// The answers to one request: usually one or more frames, rarely none (a
// request that is never answered costs its wait on the virtual clock).
std::vector<Frame> Answers(FuzzedDataProvider& in, uint8_t dev, uint8_t op, uint8_t type) {
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  const uint32_t n = pick < 16 ? 0 : 1 + pick % kMaxAnswersPerRequest;
  std::vector<Frame> frames;
  for (uint32_t i = 0; i < n; ++i) frames.push_back(AnswerFrame(in, dev, op, type));
  return frames;
}

// Scripts the answers to the first `requests` requests matching dev/op;
// returns every frame scripted.
std::vector<Frame> ScriptAnswers(FuzzWorld& world, FuzzedDataProvider& in, uint8_t dev, uint8_t op,
                                 int type, uint32_t requests, uint8_t answer_dev,
                                 uint8_t answer_type) {
  std::vector<Frame> all;
  for (uint32_t k = 1; k <= requests; ++k) {
    std::vector<Frame> frames = Answers(in, answer_dev, op, answer_type);
    all.insert(all.end(), frames.begin(), frames.end());
    world.adapter.replace_answer(RequestMatch{dev, op, type, kAny, k}, std::move(frames));
  }
  return all;
}

// True when some clock answer carried these 12 bytes.
bool SentAsClockRecord(const std::vector<Frame>& answers, const RTC_DAY_TIME& rtc) {
  return std::any_of(answers.begin(), answers.end(), [&](const Frame& f) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&rtc);
    return f.dev == 0xF0 && f.op == 2 && f.type == 0x0E && f.size >= sizeof rtc &&
           std::equal(bytes, bytes + sizeof rtc, f.data.begin());
  });
}

uint32_t ScriptedCount(FuzzedDataProvider& in) {
  return in.ConsumeIntegralInRange<uint32_t>(0, kMaxScriptedRequests);
}

std::string StoredName(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? std::string("IOT.NET") : in.ConsumeRandomLengthString(80);
}

void ReadFile(FuzzWorld& world, FuzzedDataProvider& in) {
  ScriptAnswers(world, in, 0xE0, 5, kAny, 1, 0xE0, 0);
  ScriptAnswers(world, in, 0xE0, 2, kAny, ScriptedCount(in), 0xE0, 0);
  std::string host = TempPath("read");
  std::string stored = StoredName(in);
  PassThruReadFile(host.data(), stored.data(), 0);
  std::remove(host.c_str());
}

void WriteFile(FuzzWorld& world, FuzzedDataProvider& in) {
  ScriptAnswers(world, in, 0xE0, 7, kAny, in.ConsumeBool() ? 1 : 0, 0xE0, 0);
  ScriptAnswers(world, in, 0xE0, 5, kAny, in.ConsumeBool() ? 1 : 0, 0xE0, 0);
  ScriptAnswers(world, in, 0xE0, 3, kAny, ScriptedCount(in), 0xE0, 0);
  ScriptAnswers(world, in, 0xE0, 6, kAny, in.ConsumeBool() ? 1 : 0, 0xE0, 0);
  const std::vector<uint8_t> contents =
      in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 9000));
  std::string host = TempPath("write");
  if (std::FILE* f = std::fopen(host.c_str(), "wb")) {
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);
  }
  std::string stored = StoredName(in);
  PassThruWriteFile(host.data(), stored.data(), 0);
  std::remove(host.c_str());
}

void DeleteFile(FuzzWorld& world, FuzzedDataProvider& in) {
  ScriptAnswers(world, in, 0xE0, 7, kAny, 1, 0xE0, 0);
  std::string stored = StoredName(in);
  PassThruDeleteFile(stored.data(), 0);
}

void ReadDir(FuzzWorld& world, FuzzedDataProvider& in) {
  const uint32_t next_answers = ScriptedCount(in);
  ScriptAnswers(world, in, 0xF0, 5, 0x0F, 1, 0xF0, 0x0F);
  ScriptAnswers(world, in, 0xF0, 2, 0x0F, next_answers, 0xF0, 0x0F);
  ScriptAnswers(world, in, 0xF0, 6, 0x0F, 1, 0xF0, 0x0F);
  // A hostile adapter answers every list next alike and may never end.
  if (in.ConsumeBool()) {
    world.adapter.replace_answer(RequestMatch{0xF0, 2, 0x0F, kAny, 0}, Answers(in, 0xF0, 2, 0x0F));
  }
  std::string pattern = in.ConsumeBool() ? std::string("*.*") : in.ConsumeRandomLengthString(80);
  // Exactly the documented maximum: a write past it is caught.
  std::vector<char> list(ORV_FILE_LIST_MAX, 'x');
  PassThruReadDir(pattern.data(), list.data());
  FUZZ_CHECK(std::memchr(list.data(), '\0', list.size()) != nullptr);
}

void ReadMem(FuzzWorld& world, FuzzedDataProvider& in) {
  const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 320);
  const uint32_t flags = in.ConsumeIntegral<uint8_t>();
  ScriptAnswers(world, in, 0xE0, 2, kAny, (length + 63) / 64, 0xE0, 0);
  std::vector<uint8_t> out(length);
  PassThruReadMem(in.ConsumeIntegral<uint32_t>(), length, out.data(), flags);
}

void Security(FuzzWorld& world, FuzzedDataProvider& in) {
  ScriptAnswers(world, in, 0xF2, 2, kAny, 1, 0xE0, 0);
  std::vector<uint8_t> fixed(12, 1);
  std::vector<uint8_t> seed(16, 2);
  std::vector<uint8_t> key(18);
  PassThruSecurity(in.ConsumeIntegral<uint8_t>(), fixed.data(), seed.data(), key.data());
}

void Clock(FuzzWorld& world, FuzzedDataProvider& in) {
  if (in.ConsumeBool()) {
    const std::vector<Frame> answers = ScriptAnswers(world, in, 0xF0, 2, 0x0E, 1, 0xF0, 0x0E);
    auto rtc = std::make_unique<RTC_DAY_TIME>();
    if (PassThruReadRTC(rtc.get()) == STATUS_NOERROR) FUZZ_CHECK(SentAsClockRecord(answers, *rtc));
  } else {
    ScriptAnswers(world, in, 0xF0, 3, 0x0E, 1, 0xF0, 0x0E);
    auto rtc = std::make_unique<RTC_DAY_TIME>();
    PassThruWriteRTC(rtc.get());
  }
}

void Version(FuzzWorld& world, FuzzedDataProvider& in) {
  ScriptAnswers(world, in, 0xF0, 2, 0x0D, 1, 0xF0, 0x0D);
  std::vector<char> firmware(kTextBufferSize), dll(kTextBufferSize), api(kTextBufferSize);
  if (PassThruReadVersion(world.device_id, firmware.data(), dll.data(), api.data()) ==
      STATUS_NOERROR) {
    FUZZ_CHECK(std::memchr(firmware.data(), '\0', firmware.size()) != nullptr);
  }
}

void Readings(FuzzWorld& world, FuzzedDataProvider& in) {
  static constexpr uint32_t kReads[] = {READ_VBATT,       READ_PROG_VOLTAGE, READ_CH1_VOLTAGE,
                                        READ_CH2_VOLTAGE, READ_CH3_VOLTAGE,  READ_DIO1,
                                        READ_DIO2};
  const uint32_t ioctl = kReads[in.ConsumeIntegralInRange<size_t>(0, std::size(kReads) - 1)];
  const bool digital = ioctl == READ_DIO1 || ioctl == READ_DIO2;
  ScriptAnswers(world, in, digital ? 0xD0 : 0xB0, 2, kAny, 1, digital ? 0xD0 : 0xB0, 0);
  auto value = std::make_unique<uint32_t>(0);
  PassThruIoctl(0, ioctl, nullptr, value.get());
}

uint32_t PickConfigChannel(FuzzedDataProvider& in) {
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  if (pick < 200) return kAllChannels[pick % kAllChannels.size()];
  return pick < 220 ? 0 : in.ConsumeIntegral<uint32_t>();
}

void ConfigList(FuzzWorld&, FuzzedDataProvider& in) {
  const uint32_t channel = PickConfigChannel(in);
  const uint32_t ioctl = in.ConsumeBool() ? GET_CONFIG : SET_CONFIG;
  const uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, 12);
  std::vector<SCONFIG> entries(n);
  for (SCONFIG& e : entries) {
    e.Parameter = in.ConsumeIntegral<uint8_t>() < 230
                      ? kParameters[in.ConsumeIntegralInRange<size_t>(0, kParameters.size() - 1)]
                      : in.ConsumeIntegral<uint32_t>();
    e.Value = in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() : in.ConsumeIntegral<uint32_t>();
  }
  SCONFIG_LIST list{n, entries.empty() ? nullptr : entries.data()};
  PassThruIoctl(channel, ioctl, &list, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using Step = void (*)(FuzzWorld&, FuzzedDataProvider&);
  static constexpr Step kSteps[] = {ReadFile, WriteFile, DeleteFile, ReadDir,  ReadMem,
                                    Security, Clock,     Version,    Readings, ConfigList};
  orv::fuzz::RunInput(data, size, false, [](FuzzWorld& world, FuzzedDataProvider& input) {
    world.adapter.clear_rules();
    kSteps[input.ConsumeIntegralInRange<int>(0, 9)](world, input);
  });
  return 0;
}
