// The adapter stand-in: a byte-in/byte-out engine that behaves like the
// pass-thru adapter at the far end of the serial link.
//
// The engine has no clock of its own. Every call carries the caller's
// "now" in milliseconds (32-bit, wrapping); the in-process platform passes
// its virtual clock, the pseudo-terminal program the monotonic clock.
//
// Data flow:
//   host bytes -> on_host_bytes() -> headers checked, frames cut by their
//   `size` byte -> logged -> dispatched by device to the units -> answers
//   queued with a due time -> read_host_bytes() hands out the bytes that
//   are due.
//
// The frame stream has no start byte or checksum, so a host that loses
// its place would have the adapter take data bytes for headers. The
// engine checks every header (known device and operation, data size the
// host can send) and counts a byte that cannot start a frame as a desync
// byte: it is dropped and the next byte tried, so garbage never reaches
// the units. A healthy host causes none.
//
// Adding a unit (a CAN bus, the analogue inputs, the clock, ...):
//   1. Derive from `Unit` in a new file under emulator/. Implement
//      `handle()`: return true when the frame is yours (answered or not),
//      false to let the next unit for that device try. Answer with
//      `ctx.answer(frame)`; that answer goes through the test scripting
//      (drop, delay, refuse, replace). Send unsolicited frames (bus traffic,
//      periodic messages, reports) with `ctx.send(frame, delay_ms)`.
//   2. Override `advance()` for timers; it is called with every new "now"
//      before output is handed out. Keep your own next-due time and catch up
//      on every interval that has passed (now may jump by seconds).
//   3. Override `stop_everything()` to drop channel state when the host
//      sends the stop-everything command.
//   4. Register it: `adapter.add_unit<MyUnit>({0x10, 0x20}, args...)`
//      returns a reference for tests. Units added later are asked first, so
//      a test can also shadow a built-in behaviour.
//
// Failure reporting: none at this layer. Malformed requests are answered
// as the adapter would (refused) or ignored; nothing throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace orv::emu {

// --- frames ----------------------------------------------------------------

inline constexpr size_t kHeaderSize = 10;
inline constexpr size_t kMaxDataSize = 255;      // what the size byte can say
inline constexpr size_t kHostDataCapacity = 68;  // what the host stores per frame
// The memory write frame (0xE0, op 3, flags 0x10) carries address, length,
// up to 64 bytes and ten zero bytes.
inline constexpr size_t kMemoryWriteDataCapacity = 82;
inline constexpr uint8_t kMemoryWriteFlags = 0x10;

namespace dev {
inline constexpr uint8_t kCan1 = 0x10;
inline constexpr uint8_t kIso15765_1 = 0x20;
inline constexpr uint8_t kCan2 = 0x30;
inline constexpr uint8_t kIso15765_2 = 0x40;
inline constexpr uint8_t kKLine = 0x90;
inline constexpr uint8_t kAdc = 0xB0;
inline constexpr uint8_t kDac = 0xC0;
inline constexpr uint8_t kDio = 0xD0;
inline constexpr uint8_t kFileStore = 0xE0;
inline constexpr uint8_t kSystem = 0xF0;
inline constexpr uint8_t kDisplay = 0xF1;
inline constexpr uint8_t kSecurity = 0xF2;
}  // namespace dev

namespace op {
inline constexpr uint8_t kStart = 0;
inline constexpr uint8_t kStop = 1;
inline constexpr uint8_t kRead = 2;
inline constexpr uint8_t kWrite = 3;
inline constexpr uint8_t kOpen = 5;
inline constexpr uint8_t kClose = 6;
inline constexpr uint8_t kDelete = 7;
}  // namespace op

namespace type {
inline constexpr uint8_t kPlain = 0;
inline constexpr uint8_t kSetup = 7;
inline constexpr uint8_t kSerialNumber = 8;
inline constexpr uint8_t kVersion = 0x0D;
inline constexpr uint8_t kClock = 0x0E;
inline constexpr uint8_t kDirectory = 0x0F;
}  // namespace type

inline constexpr uint8_t kFlagRefused = 0x40;  // adapter -> host: refused / no more data

struct Frame {
  uint8_t id = 0;
  uint8_t size = 0;
  uint8_t dev = 0;
  uint8_t op = 0;
  uint8_t flags = 0;
  uint8_t type = 0;
  std::array<uint8_t, 4> timestamp{};
  std::array<uint8_t, kMaxDataSize> data{};

  std::span<const uint8_t> payload() const { return {data.data(), size}; }
  size_t wire_size() const { return kHeaderSize + size; }

  // A frame with the given header and data (cut to 255 bytes).
  static Frame make(uint8_t dev, uint8_t op, uint8_t type, uint8_t flags = 0,
                    std::span<const uint8_t> data = {});
};

bool operator==(const Frame& a, const Frame& b);

// Appends the wire form (10 + size bytes) of `frame` to `out`.
void append_wire(const Frame& frame, std::vector<uint8_t>& out);
std::vector<uint8_t> to_wire(const Frame& frame);
// Cuts one frame from the start of `bytes`; returns the bytes it took, or 0
// when `bytes` does not yet hold a whole frame.
size_t cut_frame(std::span<const uint8_t> bytes, Frame* frame);
// "00 00 F0 02 00 0D (00000000) 01 02": header and data bytes in hex.
std::string describe(const Frame& frame);

enum class HeaderCheck : uint8_t { kGood, kBad, kIncomplete };
// Judges the header at the start of `bytes` on as many of its bytes as are
// there: kBad as soon as a present field rules it out (unknown device or
// operation, more data than the host sends in such a frame), kIncomplete
// when the fields needed are not all there yet.
HeaderCheck check_header(std::span<const uint8_t> bytes);

// --- scripting -------------------------------------------------------------

inline constexpr int kAny = -1;

// Which requests a rule applies to. `nth` counts the matching requests
// since the rule was added, from 1; 0 means every one.
struct RequestMatch {
  uint8_t dev = 0;
  uint8_t op = 0;
  int type = kAny;   // exact type, or kAny
  int flags = kAny;  // exact flags, or kAny (file batches end with flags 0x80)
  uint32_t nth = 0;
};

enum class Scripted : uint8_t {
  kDrop,     // the answers are never sent
  kDelay,    // the answers are sent `delay_ms` later than usual
  kRefuse,   // the answers carry the refused flag 0x40
  kReplace,  // `frames` are sent instead of the answers (also when there were none)
};

struct ScriptRule {
  RequestMatch match;
  Scripted action = Scripted::kDrop;
  uint32_t delay_ms = 0;
  std::vector<Frame> frames;
  uint32_t seen = 0;  // matching requests so far
};

// --- units -----------------------------------------------------------------

class Adapter;
class FileStore;

// What a unit may do while it handles a frame or a timer.
class Context {
 public:
  explicit Context(Adapter& adapter) : adapter_(adapter) {}
  uint32_t now() const;
  // Answer to the request being handled (scripting rules apply). Outside a
  // request (in advance()) it behaves like send().
  void answer(const Frame& frame);
  // An unsolicited frame, due `delay_ms` after now; no scripting.
  void send(const Frame& frame, uint32_t delay_ms = 0);
  FileStore& files();
  Adapter& adapter() { return adapter_; }

 private:
  Adapter& adapter_;
};

class Unit {
 public:
  virtual ~Unit() = default;
  // True when this unit took the frame (answered or silently accepted).
  virtual bool handle(const Frame& request, Context& ctx) = 0;
  virtual void advance(Context& /*ctx*/) {}
  virtual void stop_everything(Context& /*ctx*/) {}
};

// --- the file store ----------------------------------------------------------

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// The adapter's file store: names compared without regard to case (the
// first spelling is kept), contents in memory, optionally mirrored into a
// host directory so a person can see what arrived.
class FileStore {
 public:
  using Files = std::map<std::string, std::vector<uint8_t>, NoCaseLess>;

  const Files& all() const { return files_; }
  bool exists(const std::string& name) const { return files_.count(name) != 0; }
  // The contents, or empty when missing (use exists() to tell apart).
  std::vector<uint8_t> get(const std::string& name) const;
  void put(const std::string& name, std::vector<uint8_t> bytes);
  // The stored bytes for in-place change, or null when missing.
  std::vector<uint8_t>* contents(const std::string& name);
  bool remove(const std::string& name);
  void clear() { files_.clear(); }

  // Mirror into `dir`: loads the regular files found there now, writes a
  // file on every close, removes it on delete. Returns false when the
  // directory cannot be made or read.
  bool set_store_dir(const std::string& dir);
  // Writes every file into the mirror directory (if any).
  void flush() const;
  // Names that could escape the mirror directory are kept in memory only.
  static bool is_plain_name(const std::string& name);
  void mirror(const std::string& name) const;
  void unmirror(const std::string& name) const;

  // Refuse every open for writing (a full or write-protected store).
  void set_refuse_write_open(bool refuse) { refuse_write_open_ = refuse; }
  bool refuse_write_open() const { return refuse_write_open_; }

 private:
  Files files_;
  std::string dir_;
  bool refuse_write_open_ = false;
};

// True when `name` matches `pattern` ('*' any run, '?' one character),
// without regard to case; "*.*" matches every name, also one without a dot.
bool wildcard_match(const std::string& pattern, const std::string& name);

// --- the engine ----------------------------------------------------------------

struct ReceivedFrame {
  Frame frame;
  uint32_t at_ms = 0;
};

class SystemUnit;
class FileStoreUnit;

class Adapter {
 public:
  Adapter();
  ~Adapter();
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // Host -> adapter. Frames are cut by their size byte; a partial frame is
  // kept until the rest arrives. A byte that cannot start a well-formed
  // header is counted as a desync byte and dropped.
  void on_host_bytes(std::span<const uint8_t> bytes, uint32_t now_ms);
  // Host bytes dropped because no well-formed frame could start there.
  uint64_t desync_bytes() const { return desync_bytes_; }
  // Frames dispatched since the engine was made (clear_log() keeps it).
  uint64_t frames_received() const { return frames_received_; }
  // Called with the first dropped byte and the running count when the
  // stream falls out of step (once per episode: a whole frame ends it).
  void set_desync_observer(std::function<void(uint8_t byte, uint64_t total)> observer) {
    desync_observer_ = std::move(observer);
  }
  // Adapter -> host: copies the bytes due by now_ms (subject to the read
  // splitting below) and returns their count.
  size_t read_host_bytes(std::span<uint8_t> out, uint32_t now_ms);
  bool has_output_due(uint32_t now_ms);
  size_t output_due_bytes(uint32_t now_ms);
  // Drops the bytes already due (what a purge of the port's input queue
  // removes); returns their count. Bytes not yet due stay queued.
  size_t discard_due_output(uint32_t now_ms);
  // Milliseconds until the next queued output is due (0 = now), or -1.
  int64_t ms_until_next_output(uint32_t now_ms);
  // Runs the units' timers up to now_ms.
  void advance(uint32_t now_ms);
  uint32_t now() const { return static_cast<uint32_t>(now64_); }
  // The caller's clock was set to `now_ms` without time passing (a test
  // moving its virtual clock near the wrap): later times count from here.
  void resync_clock(uint32_t now_ms);

  // --- log of frames received from the host ---
  std::vector<Frame> received_frames() const;
  const std::vector<ReceivedFrame>& received_log() const { return received_; }
  void clear_log() { received_.clear(); }
  // Called for every frame received (`to_host` false) and queued for the
  // host (true); the pseudo-terminal program prints them.
  void set_frame_observer(std::function<void(bool to_host, const Frame&)> observer) {
    observer_ = std::move(observer);
  }

  // --- scripting ---
  // Answers are due this long after their request (default 1 ms).
  void set_answer_latency(uint32_t ms) { latency_ms_ = ms; }
  // The returned rule stays valid; its `seen` counts matching requests.
  ScriptRule& add_rule(RequestMatch match, Scripted action, uint32_t delay_ms = 0,
                       std::vector<Frame> frames = {});
  ScriptRule& drop_answer(RequestMatch match) { return add_rule(match, Scripted::kDrop); }
  ScriptRule& delay_answer(RequestMatch match, uint32_t ms) {
    return add_rule(match, Scripted::kDelay, ms);
  }
  ScriptRule& refuse_answer(RequestMatch match) { return add_rule(match, Scripted::kRefuse); }
  ScriptRule& replace_answer(RequestMatch match, std::vector<Frame> frames) {
    return add_rule(match, Scripted::kReplace, 0, std::move(frames));
  }
  void clear_rules() { rules_.clear(); }
  // Each read hands out at most `n` bytes (0 = no limit).
  void set_max_read(size_t n) { max_read_ = n; }
  // The next reads hand out at most these many bytes each, one entry per
  // read that returns data; afterwards the max_read limit applies.
  void set_read_pieces(std::vector<size_t> pieces);
  // Raw bytes or a frame put into the output stream, due at `at_ms` (or at
  // the last "now" seen).
  void inject_bytes(std::span<const uint8_t> bytes);
  void inject_bytes_at(std::span<const uint8_t> bytes, uint32_t at_ms);
  void inject_frame(const Frame& frame) { inject_bytes(to_wire(frame)); }
  void inject_frame_at(const Frame& frame, uint32_t at_ms) {
    inject_bytes_at(to_wire(frame), at_ms);
  }

  // --- units ---
  template <class U, class... Args>
  U& add_unit(std::initializer_list<uint8_t> devices, Args&&... args) {
    auto unit = std::make_unique<U>(std::forward<Args>(args)...);
    U& ref = *unit;
    register_unit(std::move(unit), devices);
    return ref;
  }
  SystemUnit& system() { return *system_; }
  FileStoreUnit& file_unit() { return *file_unit_; }
  FileStore& files() { return files_; }

  // Sends every unit the stop-everything notice (the system unit does this
  // for the host's stop command).
  void stop_everything();
  // The adapter lost power (unplugged): the partial input frame and every
  // byte queued for the host are gone, the units lose their state as on
  // stop-everything. The file store is flash and keeps its contents.
  void power_cycle();

 private:
  friend class Context;
  struct Pending {
    uint64_t due = 0;
    std::vector<uint8_t> bytes;
    size_t offset = 0;  // bytes already read
  };

  uint64_t extend(uint32_t now_ms);
  void set_now(uint32_t now_ms);
  void dispatch(const Frame& request);
  void queue_frame(const Frame& frame, uint64_t due);
  void queue_bytes(std::vector<uint8_t> bytes, uint64_t due);
  void answer_current(const Frame& frame);
  void register_unit(std::unique_ptr<Unit> unit, std::initializer_list<uint8_t> devices);
  bool matches(const RequestMatch& m, const Frame& f) const;

  uint64_t now64_ = 0;
  uint32_t last_now32_ = 0;
  bool clock_started_ = false;

  std::vector<uint8_t> in_buf_;
  uint64_t desync_bytes_ = 0;
  uint64_t frames_received_ = 0;
  bool out_of_step_ = false;
  std::function<void(uint8_t, uint64_t)> desync_observer_;
  std::deque<Pending> out_;
  std::vector<ReceivedFrame> received_;
  std::function<void(bool, const Frame&)> observer_;

  uint32_t latency_ms_ = 1;
  std::deque<ScriptRule> rules_;  // deque: add_rule's reference stays valid
  size_t max_read_ = 0;
  std::deque<size_t> read_pieces_;

  // The request being dispatched and what the scripting decided for it.
  const Frame* current_ = nullptr;
  std::vector<Frame> current_answers_;

  std::vector<std::unique_ptr<Unit>> units_;
  std::map<uint8_t, std::vector<Unit*>> by_device_;  // newest first
  FileStore files_;
  SystemUnit* system_ = nullptr;
  FileStoreUnit* file_unit_ = nullptr;
};

// --- built-in units ------------------------------------------------------------

// Device 0xF0: stop-everything, version, serial number, directory listing.
class SystemUnit : public Unit {
 public:
  bool handle(const Frame& request, Context& ctx) override;
  void stop_everything(Context& ctx) override;

  // Data size of the version answer: 2 (major, minor), 4 (four numbers),
  // any other size for a malformed answer, or 0 for no answer at all.
  void set_version_size(uint8_t size) { version_size_ = size; }
  uint8_t version_size() const { return version_size_; }
  void set_version_bytes(std::array<uint8_t, 4> bytes) { version_ = bytes; }
  const std::array<uint8_t, 4>& version_bytes() const { return version_; }
  void set_serial_number(uint32_t serial) { serial_ = serial; }
  uint32_t serial_number() const { return serial_; }
  void set_serial_answer(bool on) { serial_answer_ = on; }

 private:
  void answer_version(Context& ctx);
  void answer_serial(Context& ctx);
  void answer_listing(Context& ctx, uint8_t request_op);
  void open_listing(const Frame& request, Context& ctx);

  uint8_t version_size_ = 2;
  std::array<uint8_t, 4> version_{1, 2, 0, 0};
  uint32_t serial_ = 123456;
  bool serial_answer_ = true;
  std::vector<std::string> listing_;  // matching names not yet reported
  bool listing_open_ = false;
};

// Device 0xE0 (file operations only; memory requests fall through).
class FileStoreUnit : public Unit {
 public:
  bool handle(const Frame& request, Context& ctx) override;
  void stop_everything(Context& ctx) override;

  // Bytes per read-data answer (at most 64 by default, like a frame the
  // host can take).
  void set_read_chunk(uint8_t n) { read_chunk_ = n == 0 ? 1 : n; }
  bool is_open() const { return mode_ != Mode::kClosed; }
  const std::string& open_name() const { return name_; }

 private:
  enum class Mode : uint8_t { kClosed, kReading, kWriting };
  void reply(Context& ctx, bool accepted, std::span<const uint8_t> data = {});
  void on_delete(const Frame& request, Context& ctx);
  void on_open(const Frame& request, Context& ctx);
  void on_write(const Frame& request, Context& ctx);
  void on_read(Context& ctx);
  void on_close(Context& ctx);
  void on_close_quietly(Context& ctx);

  Mode mode_ = Mode::kClosed;
  std::string name_;
  size_t read_pos_ = 0;
  bool batch_failed_ = false;
  uint8_t read_chunk_ = 64;
};

// The NUL-terminated text at the start of `bytes` (all of it when no NUL).
std::string text_from(std::span<const uint8_t> bytes);

}  // namespace orv::emu
