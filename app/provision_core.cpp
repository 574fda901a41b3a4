// Provisioning: open-on-paint, the network setup file and its transfer.
#include "app/provision_core.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "orvanta_j2534.h"

namespace orv::app {

namespace {

// Creates or truncates "IOT.NET" and writes `bytes`. False when the file
// cannot be created or not all bytes reach it.
bool WriteNetworkFile(std::span<const uint8_t> bytes) {
  std::FILE* file = std::fopen(kNetworkFileName, "wb+");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace

int32_t ProvisionOpenOnPaint(uint32_t* device_id, const char* port_name) {
  return PassThruOpen(port_name, device_id);
}

int32_t ProvisionCancel(uint32_t device_id) {
  return PassThruClose(device_id);
}

size_t BuildNetworkFile(std::string_view ssid, std::string_view password,
                        std::span<uint8_t, kMaxNetworkFileSize> out) {
  if (ssid.size() > kMaxSsidLength || password.size() > kMaxPasswordLength) return 0;
  size_t at = 0;
  for (const std::string_view field : {ssid, password}) {
    out[at++] = static_cast<uint8_t>(field.size());
    for (const char c : field) out[at++] = static_cast<uint8_t>(c);
  }
  return at;
}

int32_t Provision(std::string_view ssid, std::string_view password) {
  if (ssid.size() > kMaxSsidLength) return kProvisionSsidTooLong;
  if (password.size() > kMaxPasswordLength) return kProvisionPasswordTooLong;
  std::array<uint8_t, kMaxNetworkFileSize> bytes{};
  const size_t size = BuildNetworkFile(ssid, password, bytes);
  if (!WriteNetworkFile(std::span<const uint8_t>(bytes.data(), size))) {
    return kProvisionFileNotWritten;
  }
  // The library takes writable names; the same name on both sides.
  char host_name[sizeof kNetworkFileName];
  char stored_name[sizeof kNetworkFileName];
  std::memcpy(host_name, kNetworkFileName, sizeof kNetworkFileName);
  std::memcpy(stored_name, kNetworkFileName, sizeof kNetworkFileName);
  return PassThruWriteFile(host_name, stored_name, 0);
}

}  // namespace orv::app
