// The adapter's file store: the in-memory files with their optional mirror
// directory, name matching for the listing, and the file-store unit
// (device 0xE0: delete, open, write batches, read, close). Every request
// the unit takes gets one answer (dev 0xE0, op 2) except the data frames
// of a write batch, which are answered once, after the frame with flags
// 0x80. Refusals carry flags 0x40.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "emulator/adapter.h"

namespace orv::emu {

namespace {

constexpr uint8_t kOpenForReading = 0x04;
constexpr uint8_t kReadNextBlock = 0x20;
constexpr uint8_t kMemoryWrite = 0x10;
constexpr uint8_t kLastOfBatch = 0x80;

char fold(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool match_from(const std::string& pattern, size_t p, const std::string& name, size_t n) {
  while (p < pattern.size()) {
    if (pattern[p] == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      if (p == pattern.size()) return true;
      for (size_t k = n; k <= name.size(); ++k) {
        if (match_from(pattern, p, name, k)) return true;
      }
      return false;
    }
    if (n == name.size()) return false;
    if (pattern[p] != '?' && fold(pattern[p]) != fold(name[n])) return false;
    ++p;
    ++n;
  }
  return n == name.size();
}

}  // namespace

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return fold(x) < fold(y); });
}

bool wildcard_match(const std::string& pattern, const std::string& name) {
  // The DOS habit: "*.*" means every file, with or without an extension.
  if (pattern == "*.*") return true;
  return match_from(pattern, 0, name, 0);
}

// --- FileStore -------------------------------------------------------------

std::vector<uint8_t> FileStore::get(const std::string& name) const {
  auto it = files_.find(name);
  return it == files_.end() ? std::vector<uint8_t>{} : it->second;
}

std::vector<uint8_t>* FileStore::contents(const std::string& name) {
  auto it = files_.find(name);
  return it == files_.end() ? nullptr : &it->second;
}

void FileStore::put(const std::string& name, std::vector<uint8_t> bytes) {
  files_[name] = std::move(bytes);
}

bool FileStore::remove(const std::string& name) {
  auto it = files_.find(name);
  if (it == files_.end()) return false;
  unmirror(it->first);
  files_.erase(it);
  return true;
}

bool FileStore::is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

bool FileStore::set_store_dir(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) return false;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    files_[it->path().filename().string()] =
        std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  if (ec) return false;
  dir_ = dir;
  return true;
}

void FileStore::mirror(const std::string& name) const {
  auto it = files_.find(name);
  if (dir_.empty() || it == files_.end() || !is_plain_name(it->first)) return;
  std::ofstream out(std::filesystem::path(dir_) / it->first, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(it->second.data()),
            static_cast<std::streamsize>(it->second.size()));
}

void FileStore::unmirror(const std::string& name) const {
  if (dir_.empty() || !is_plain_name(name)) return;
  std::error_code ec;
  std::filesystem::remove(std::filesystem::path(dir_) / name, ec);
}

void FileStore::flush() const {
  for (const auto& entry : files_) mirror(entry.first);
}

// --- FileStoreUnit -----------------------------------------------------------

bool FileStoreUnit::handle(const Frame& request, Context& ctx) {
  switch (request.op) {
    case op::kDelete:
      on_delete(request, ctx);
      return true;
    case op::kOpen:
      on_open(request, ctx);
      return true;
    case op::kWrite:
      if ((request.flags & kMemoryWrite) != 0) return false;
      on_write(request, ctx);
      return true;
    case op::kRead:
      if ((request.flags & kReadNextBlock) == 0) return false;
      on_read(ctx);
      return true;
    case op::kClose:
      on_close(ctx);
      return true;
    default:
      return false;
  }
}

void FileStoreUnit::reply(Context& ctx, bool accepted, std::span<const uint8_t> data) {
  ctx.answer(Frame::make(dev::kFileStore, op::kRead, type::kPlain, accepted ? 0 : kFlagRefused,
                         accepted ? data : std::span<const uint8_t>{}));
}

void FileStoreUnit::on_delete(const Frame& request, Context& ctx) {
  const std::string name = text_from(request.payload());
  if (mode_ != Mode::kClosed && !NoCaseLess{}(name, name_) && !NoCaseLess{}(name_, name)) {
    mode_ = Mode::kClosed;
  }
  reply(ctx, ctx.files().remove(name));
}

void FileStoreUnit::on_open(const Frame& request, Context& ctx) {
  on_close_quietly(ctx);
  const std::string name = text_from(request.payload());
  if ((request.flags & kOpenForReading) != 0) {
    const bool found = !name.empty() && ctx.files().exists(name);
    if (found) {
      mode_ = Mode::kReading;
      name_ = name;
      read_pos_ = 0;
    }
    reply(ctx, found);
    return;
  }
  if (name.empty() || ctx.files().refuse_write_open()) {
    reply(ctx, false);
    return;
  }
  ctx.files().put(name, {});
  mode_ = Mode::kWriting;
  name_ = name;
  batch_failed_ = false;
  reply(ctx, true);
}

void FileStoreUnit::on_write(const Frame& request, Context& ctx) {
  std::vector<uint8_t>* bytes = mode_ == Mode::kWriting ? ctx.files().contents(name_) : nullptr;
  if (bytes != nullptr) {
    bytes->insert(bytes->end(), request.payload().begin(), request.payload().end());
  } else {
    batch_failed_ = true;
  }
  if ((request.flags & kLastOfBatch) != 0) {
    reply(ctx, !batch_failed_);
    batch_failed_ = false;
  }
}

void FileStoreUnit::on_read(Context& ctx) {
  const std::vector<uint8_t>* bytes =
      mode_ == Mode::kReading ? ctx.files().contents(name_) : nullptr;
  if (bytes == nullptr) {
    reply(ctx, false);
    return;
  }
  const size_t start = std::min(read_pos_, bytes->size());
  const size_t n = std::min<size_t>(read_chunk_, bytes->size() - start);
  read_pos_ = start + n;
  reply(ctx, true, std::span(*bytes).subspan(start, n));
}

void FileStoreUnit::on_close(Context& ctx) {
  on_close_quietly(ctx);
  reply(ctx, true);
}

void FileStoreUnit::on_close_quietly(Context& ctx) {
  if (mode_ == Mode::kWriting) ctx.files().mirror(name_);
  mode_ = Mode::kClosed;
  name_.clear();
}

void FileStoreUnit::stop_everything(Context& ctx) {
  on_close_quietly(ctx);
}

}  // namespace orv::emu
