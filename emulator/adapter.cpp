// The engine core: frame codec, the host byte stream, dispatch to units,
// answer scripting and the timed output queue. See adapter.h.
#include "emulator/adapter.h"

#include <algorithm>
#include <cstdio>

namespace orv::emu {

// --- frames ----------------------------------------------------------------

Frame Frame::make(uint8_t dev, uint8_t op, uint8_t type, uint8_t flags,
                  std::span<const uint8_t> data) {
  Frame f;
  f.dev = dev;
  f.op = op;
  f.type = type;
  f.flags = flags;
  const size_t n = std::min(data.size(), kMaxDataSize);
  std::copy_n(data.begin(), n, f.data.begin());
  f.size = static_cast<uint8_t>(n);
  return f;
}

bool operator==(const Frame& a, const Frame& b) {
  return a.id == b.id && a.size == b.size && a.dev == b.dev && a.op == b.op && a.flags == b.flags &&
         a.type == b.type && a.timestamp == b.timestamp &&
         std::equal(a.data.begin(), a.data.begin() + a.size, b.data.begin());
}

void append_wire(const Frame& frame, std::vector<uint8_t>& out) {
  out.insert(out.end(), {frame.id, frame.size, frame.dev, frame.op, frame.flags, frame.type});
  out.insert(out.end(), frame.timestamp.begin(), frame.timestamp.end());
  out.insert(out.end(), frame.data.begin(), frame.data.begin() + frame.size);
}

std::vector<uint8_t> to_wire(const Frame& frame) {
  std::vector<uint8_t> out;
  out.reserve(frame.wire_size());
  append_wire(frame, out);
  return out;
}

size_t cut_frame(std::span<const uint8_t> bytes, Frame* frame) {
  if (bytes.size() < kHeaderSize) return 0;
  const size_t total = kHeaderSize + bytes[1];
  if (bytes.size() < total) return 0;
  frame->id = bytes[0];
  frame->size = bytes[1];
  frame->dev = bytes[2];
  frame->op = bytes[3];
  frame->flags = bytes[4];
  frame->type = bytes[5];
  std::copy_n(bytes.begin() + 6, 4, frame->timestamp.begin());
  std::copy_n(bytes.begin() + kHeaderSize, frame->size, frame->data.begin());
  return total;
}

namespace {

bool known_device(uint8_t d) {
  switch (d) {
    case dev::kCan1:
    case dev::kIso15765_1:
    case dev::kCan2:
    case dev::kIso15765_2:
    case dev::kKLine:
    case dev::kAdc:
    case dev::kDac:
    case dev::kDio:
    case dev::kFileStore:
    case dev::kSystem:
    case dev::kDisplay:
    case dev::kSecurity:
      return true;
    default:
      return false;
  }
}

bool known_operation(uint8_t o) {
  return o <= op::kWrite || (o >= op::kOpen && o <= op::kDelete);
}

}  // namespace

HeaderCheck check_header(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  if (n > 1 && bytes[1] > kMemoryWriteDataCapacity) return HeaderCheck::kBad;
  if (n > 2 && !known_device(bytes[2])) return HeaderCheck::kBad;
  if (n > 3 && !known_operation(bytes[3])) return HeaderCheck::kBad;
  if (n > 4 && bytes[1] > kHostDataCapacity &&
      !(bytes[2] == dev::kFileStore && bytes[3] == op::kWrite && bytes[4] == kMemoryWriteFlags)) {
    return HeaderCheck::kBad;
  }
  return n >= kHeaderSize ? HeaderCheck::kGood : HeaderCheck::kIncomplete;
}

std::string describe(const Frame& frame) {
  char head[48];
  std::snprintf(head, sizeof head, "%02X %02X %02X %02X %02X %02X (%02X%02X%02X%02X)", frame.id,
                frame.size, frame.dev, frame.op, frame.flags, frame.type, frame.timestamp[0],
                frame.timestamp[1], frame.timestamp[2], frame.timestamp[3]);
  std::string text = head;
  for (uint8_t b : frame.payload()) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    text += hex;
  }
  return text;
}

std::string text_from(std::span<const uint8_t> bytes) {
  const auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  return std::string(bytes.begin(), nul);
}

// --- context -----------------------------------------------------------------

uint32_t Context::now() const {
  return adapter_.now();
}

void Context::answer(const Frame& frame) {
  if (adapter_.current_ != nullptr) {
    adapter_.answer_current(frame);
  } else {
    send(frame);
  }
}

void Context::send(const Frame& frame, uint32_t delay_ms) {
  adapter_.queue_frame(frame, adapter_.now64_ + delay_ms);
}

FileStore& Context::files() {
  return adapter_.files_;
}

// --- engine ------------------------------------------------------------------

Adapter::Adapter() {
  // Registered first, so units added later are asked before them.
  file_unit_ = &add_unit<FileStoreUnit>({dev::kFileStore});
  system_ = &add_unit<SystemUnit>({dev::kSystem});
}

Adapter::~Adapter() = default;

// The 32-bit caller clock extended to 64 bits so that due times order
// correctly across the wrap. A step backwards is taken as no step.
uint64_t Adapter::extend(uint32_t now_ms) {
  if (!clock_started_) {
    clock_started_ = true;
    last_now32_ = now_ms;
    now64_ = now_ms;
    return now64_;
  }
  const uint32_t step = now_ms - last_now32_;
  if (step < 0x80000000u) {
    now64_ += step;
    last_now32_ = now_ms;
  }
  return now64_;
}

void Adapter::resync_clock(uint32_t now_ms) {
  if (!clock_started_) {
    extend(now_ms);
    return;
  }
  last_now32_ = now_ms;
}

void Adapter::set_now(uint32_t now_ms) {
  extend(now_ms);
}

void Adapter::register_unit(std::unique_ptr<Unit> unit, std::initializer_list<uint8_t> devices) {
  for (uint8_t d : devices) {
    auto& list = by_device_[d];
    list.insert(list.begin(), unit.get());
  }
  units_.push_back(std::move(unit));
}

void Adapter::on_host_bytes(std::span<const uint8_t> bytes, uint32_t now_ms) {
  advance(now_ms);
  in_buf_.insert(in_buf_.end(), bytes.begin(), bytes.end());
  size_t pos = 0;
  Frame frame;
  while (pos < in_buf_.size()) {
    const auto rest = std::span<const uint8_t>(in_buf_).subspan(pos);
    const HeaderCheck check = check_header(rest);
    if (check == HeaderCheck::kBad) {
      // Resynchronise: this byte starts no frame, the next one may.
      ++desync_bytes_;
      if (!out_of_step_) {
        out_of_step_ = true;
        if (desync_observer_) desync_observer_(rest[0], desync_bytes_);
      }
      ++pos;
      continue;
    }
    const size_t used = check == HeaderCheck::kGood ? cut_frame(rest, &frame) : 0;
    if (used == 0) break;
    pos += used;
    out_of_step_ = false;
    dispatch(frame);
  }
  in_buf_.erase(in_buf_.begin(), in_buf_.begin() + static_cast<std::ptrdiff_t>(pos));
}

bool Adapter::matches(const RequestMatch& m, const Frame& f) const {
  return m.dev == f.dev && m.op == f.op && (m.type == kAny || m.type == f.type) &&
         (m.flags == kAny || m.flags == f.flags);
}

void Adapter::dispatch(const Frame& request) {
  ++frames_received_;
  received_.push_back({request, now()});
  if (observer_) observer_(false, request);

  current_ = &request;
  current_answers_.clear();
  Context ctx(*this);
  if (auto it = by_device_.find(request.dev); it != by_device_.end()) {
    for (Unit* unit : it->second) {
      if (unit->handle(request, ctx)) break;
    }
  }
  current_ = nullptr;

  // Scripting: every matching rule counts the request; those whose turn
  // it is shape the answers.
  bool drop = false;
  bool refuse = false;
  uint32_t delay = 0;
  const std::vector<Frame>* replacement = nullptr;
  for (ScriptRule& rule : rules_) {
    if (!matches(rule.match, request)) continue;
    ++rule.seen;
    if (rule.match.nth != 0 && rule.match.nth != rule.seen) continue;
    switch (rule.action) {
      case Scripted::kDrop:
        drop = true;
        break;
      case Scripted::kDelay:
        delay += rule.delay_ms;
        break;
      case Scripted::kRefuse:
        refuse = true;
        break;
      case Scripted::kReplace:
        replacement = &rule.frames;
        break;
    }
  }
  std::vector<Frame> answers = replacement ? *replacement : std::move(current_answers_);
  current_answers_.clear();
  if (drop) return;
  const uint64_t due = now64_ + latency_ms_ + delay;
  for (Frame& answer : answers) {
    if (refuse) answer.flags |= kFlagRefused;
    queue_frame(answer, due);
  }
}

void Adapter::answer_current(const Frame& frame) {
  current_answers_.push_back(frame);
}

void Adapter::queue_frame(const Frame& frame, uint64_t due) {
  if (observer_) observer_(true, frame);
  queue_bytes(to_wire(frame), due);
}

// Output is kept in due order; equal due times keep their queuing order.
void Adapter::queue_bytes(std::vector<uint8_t> bytes, uint64_t due) {
  if (bytes.empty()) return;
  auto later = std::upper_bound(out_.begin(), out_.end(), due,
                                [](uint64_t d, const Pending& p) { return d < p.due; });
  // Never slip in front of an entry the host has partly read.
  if (later == out_.begin() && !out_.empty() && out_.front().offset != 0) ++later;
  out_.insert(later, Pending{due, std::move(bytes), 0});
}

void Adapter::advance(uint32_t now_ms) {
  set_now(now_ms);
  Context ctx(*this);
  for (auto& unit : units_) unit->advance(ctx);
}

bool Adapter::has_output_due(uint32_t now_ms) {
  advance(now_ms);
  return !out_.empty() && out_.front().due <= now64_;
}

size_t Adapter::output_due_bytes(uint32_t now_ms) {
  advance(now_ms);
  size_t n = 0;
  for (const Pending& p : out_) {
    if (p.due > now64_) break;
    n += p.bytes.size() - p.offset;
  }
  return n;
}

int64_t Adapter::ms_until_next_output(uint32_t now_ms) {
  advance(now_ms);
  if (out_.empty()) return -1;
  return out_.front().due <= now64_ ? 0 : static_cast<int64_t>(out_.front().due - now64_);
}

size_t Adapter::read_host_bytes(std::span<uint8_t> out, uint32_t now_ms) {
  advance(now_ms);
  size_t limit = out.size();
  if (!read_pieces_.empty()) {
    limit = std::min(limit, read_pieces_.front());
  } else if (max_read_ != 0) {
    limit = std::min(limit, max_read_);
  }
  size_t n = 0;
  while (n < limit && !out_.empty() && out_.front().due <= now64_) {
    Pending& p = out_.front();
    const size_t take = std::min(limit - n, p.bytes.size() - p.offset);
    std::copy_n(p.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset), take, out.begin() + n);
    n += take;
    p.offset += take;
    if (p.offset == p.bytes.size()) out_.pop_front();
  }
  if (n > 0 && !read_pieces_.empty()) read_pieces_.pop_front();
  return n;
}

size_t Adapter::discard_due_output(uint32_t now_ms) {
  advance(now_ms);
  size_t n = 0;
  while (!out_.empty() && out_.front().due <= now64_) {
    n += out_.front().bytes.size() - out_.front().offset;
    out_.pop_front();
  }
  return n;
}

std::vector<Frame> Adapter::received_frames() const {
  std::vector<Frame> frames;
  frames.reserve(received_.size());
  for (const ReceivedFrame& r : received_) frames.push_back(r.frame);
  return frames;
}

ScriptRule& Adapter::add_rule(RequestMatch match, Scripted action, uint32_t delay_ms,
                              std::vector<Frame> frames) {
  rules_.push_back(ScriptRule{match, action, delay_ms, std::move(frames), 0});
  return rules_.back();
}

void Adapter::set_read_pieces(std::vector<size_t> pieces) {
  read_pieces_.assign(pieces.begin(), pieces.end());
  // A zero-byte piece would stall the reader for good.
  std::erase(read_pieces_, size_t{0});
}

void Adapter::inject_bytes(std::span<const uint8_t> bytes) {
  queue_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()), now64_);
}

void Adapter::inject_bytes_at(std::span<const uint8_t> bytes, uint32_t at_ms) {
  // Relative to the last "now": a time up to half the clock range ahead.
  const uint32_t ahead = at_ms - static_cast<uint32_t>(now64_);
  const uint64_t due = ahead < 0x80000000u ? now64_ + ahead : now64_;
  queue_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()), due);
}

void Adapter::stop_everything() {
  Context ctx(*this);
  for (auto& unit : units_) unit->stop_everything(ctx);
}

void Adapter::power_cycle() {
  in_buf_.clear();
  out_of_step_ = false;
  out_.clear();
  stop_everything();
}

}  // namespace orv::emu
